#include "VHook.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "VMemory.h"

#ifdef _WIN32
#include <windows.h>

#include "VCore.h"
#include "VTextUtils.h"
#endif

namespace VHook {
namespace {

// Length codes, one hex digit per opcode: 0-6 bytes follow the opcode; B a 4-byte immediate
// (2 after 66); D a 6-byte far pointer (4 after 66); E a ModRM byte follows; F undefined.
// 0F 19-1F are the hint NOPs (0F 1F /0 is the padding the compiler puts inside functions).
constexpr char kOneByteMap[] =
    "EEEE1B00EEEE1B0F"
    "EEEE1B00EEEE1B00"
    "EEEE1BF0EEEE1BF0"
    "EEEE1BF0EEEE1BF0"
    "0000000000000000"
    "0000000000000000"
    "00EEFFFFBE1E0000"
    "1111111111111111"
    "EEEEEEEEEEEEEEEE"
    "0000000000D00000"
    "444400001B000000"
    "11111111BBBBBBBB"
    "EE20EEEE30200100"
    "EEEE1100EEEEEEEE"
    "11111111BBD10000"
    "F0FF00EE000000EE";

constexpr char kTwoByteMap[] =
    "EEEEF00000FFFE0F"
    "EEEEEEEEEEEEEEEE"
    "EEEEFFFFEEEEEEEE"
    "000000FFFFFFFFFF"
    "EEEEEEEEEEEEEEEE"
    "EEEEEEEEEEEEEEEE"
    "EEEEEEEEEEEEFFEE"
    "EEEEEEE0FFFFFFEE"
    "BBBBBBBBBBBBBBBB"
    "EEEEEEEEEEEEEEEE"
    "000EEEEE000EEEEE"
    "EEEEEEEEFFEEEEEE"
    "EEEEEEEE00000000"
    "FEEEEEFEEEEEEEEE"
    "EEEEEEFEEEEEEEEE"
    "FEEEEEEEEEEEEEEF";

constexpr int kModRM = 14;
constexpr int kUndefined = 15;

int CodeOf(const char* map, std::uint8_t opcode) {
  const char c = map[opcode];
  return c <= '9' ? c - '0' : c - 'A' + 10;
}

bool IsPrefix(std::uint8_t b) {
  switch (b) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
      return true;
    default:
      return false;
  }
}

// Size of the immediate after the ModRM operand.
int ModRMImmediate(bool two_byte, std::uint8_t opcode, int reg, int operand_size) {
  if (two_byte) {
    if ((opcode >= 0x70 && opcode <= 0x73) || opcode == 0xA4 || opcode == 0xAC || opcode == 0xBA ||
        opcode == 0xC2 || (opcode >= 0xC4 && opcode <= 0xC6))
      return 1;
    return 0;
  }
  switch (opcode) {
    case 0x6B:
    case 0x80:
    case 0x82:
    case 0x83:
    case 0xC0:
    case 0xC1:
    case 0xC6:
      return 1;
    case 0xF6:
      return reg == 0 ? 1 : 0;
    case 0x69:
    case 0x81:
    case 0xC7:
      return operand_size;
    case 0xF7:
      return reg == 0 ? operand_size : 0;
    default:
      return 0;
  }
}

// One decoded instruction: what the relocation of a copied instruction needs.
struct TDecoded {
  bool ok = false;
  int length = 1;
  int prefixes = 0;
  bool two_byte = false;
  bool operand16 = false;
  std::uint8_t opcode = 0;
};

TDecoded Decode(const std::uint8_t* code, std::size_t available) {
  TDecoded d;
  std::size_t i = 0;
  bool address16 = false;
  while (i < available && IsPrefix(code[i])) {
    if (code[i] == 0x66) d.operand16 = true;
    if (code[i] == 0x67) address16 = true;
    ++i;
  }
  if (i >= available) return d;
  d.prefixes = static_cast<int>(i);
  int opcode_length = 1;
  if (code[i] == 0x0F) {
    if (i + 1 >= available) return d;
    d.two_byte = true;
    d.opcode = code[i + 1];
    opcode_length = 2;
  } else {
    d.opcode = code[i];
  }
  const int c = CodeOf(d.two_byte ? kTwoByteMap : kOneByteMap, d.opcode);
  const int operand_size = d.operand16 ? 2 : 4;
  int length = 0;
  if (c == kUndefined) return d;
  if (c <= 6) {
    length = opcode_length + c;
  } else if (c == 11 || c == 13) {
    length = opcode_length + c - 7 - (d.operand16 ? 2 : 0);
  } else if (c == kModRM) {
    const std::size_t at = i + opcode_length;
    if (at >= available) return d;
    const std::uint8_t modrm = code[at];
    const int mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
    int extra = 0;
    if (address16) {
      if (mod == 0)
        extra = rm == 6 ? 2 : 0;
      else if (mod == 1)
        extra = 1;
      else if (mod == 2)
        extra = 2;
    } else if (mod != 3) {
      const bool sib = rm == 4;
      if (sib && at + 1 >= available) return d;
      if (mod == 0) {
        if (sib)
          extra = (code[at + 1] & 7) == 5 ? 5 : 1;
        else if (rm == 5)
          extra = 4;
      } else if (mod == 1) {
        extra = sib ? 2 : 1;
      } else {
        extra = sib ? 5 : 4;
      }
    }
    length = opcode_length + 1 + extra + ModRMImmediate(d.two_byte, d.opcode, reg, operand_size);
  } else {
    return d;  // no other codes in the maps
  }
  length += d.prefixes;
  if (static_cast<std::size_t>(length) > available) return d;
  d.ok = true;
  d.length = length;
  return d;
}

bool IsReturn(const TDecoded& d) {
  return !d.two_byte &&
         (d.opcode == 0xC2 || d.opcode == 0xC3 || d.opcode == 0xCA || d.opcode == 0xCB);
}

constexpr std::size_t kLongestInstruction = 16;

// End of the first return within maximum bytes, 0 when none.
std::size_t ReturnEnd(const std::uint8_t* code, std::size_t available, int maximum) {
  if (!code || maximum <= 0) return 0;
  const auto limit = static_cast<std::size_t>(maximum);
  std::size_t at = 0;
  while (at < limit && at < available) {
    const TDecoded d = Decode(code + at, available - at);
    const std::size_t next = at + d.length;
    if (next > limit) break;
    if (d.ok && IsReturn(d)) return next;
    at = next;
  }
  return 0;
}

}  // namespace

bool InstructionLengthOf(const std::uint8_t* code, std::size_t available, int* length) {
  const TDecoded d = code ? Decode(code, available) : TDecoded{};
  *length = d.length;
  return d.ok;
}

bool InstructionLength(const void* address, int* length) {
  std::uint8_t code[kLongestInstruction];
  const std::size_t n = VCore::ReadableBytes(address, sizeof code);
  if (n == 0 || !VCore::SafeRead(address, code, n)) {
    *length = 1;
    return false;
  }
  return InstructionLengthOf(code, n, length);
}

int ProcedureLengthOf(const std::uint8_t* code, std::size_t available, int maximum) {
  const std::size_t end = ReturnEnd(code, available, maximum);
  return end ? static_cast<int>(end) : 1;
}

int ProcedureLength(const void* address, int maximum) {
  if (maximum <= 0) return 1;
  const std::size_t n = VCore::ReadableBytes(address, static_cast<std::size_t>(maximum));
  if (n == 0) return 1;
  // Read a window at a time: most procedures end in the first one. A return counts once every
  // instruction before it was decoded with a whole instruction's bytes in the window.
  std::vector<std::uint8_t> code;
  for (std::size_t window = std::min<std::size_t>(n, 4096);; window = std::min(n, window * 4)) {
    code.resize(window);
    if (!VCore::SafeRead(address, code.data(), window)) return 1;
    const std::size_t end = ReturnEnd(code.data(), window, maximum);
    if (window == n) return end ? static_cast<int>(end) : 1;
    if (end && end + kLongestInstruction <= window) return static_cast<int>(end);
  }
}

#ifdef _WIN32

namespace {

bool InsideLoadedModule(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) return false;
  return info.State == MEM_COMMIT && info.Type == MEM_IMAGE &&
         VCore::IsModuleLoaded(static_cast<HMODULE>(info.AllocationBase));
}

struct TImportPatch {
  HMODULE module;
  std::string dll_name;
  void* original;
  void* new_address;
};

struct THookedMethod {
  void** class_table;
  void* original;
  int slot_index;
};

// Virtual-slot records under a (re-entrant) critical section; destroying the list restores
// every recorded slot, the newest first.
class THookedMethodsList {
 public:
  THookedMethodsList() { InitializeCriticalSection(&lock_); }
  ~THookedMethodsList() {
    Lock();  // re-entered by each restore
    while (Count() > 0) Restore(Count() - 1);
    Unlock();
    DeleteCriticalSection(&lock_);
  }
  THookedMethodsList(const THookedMethodsList&) = delete;
  THookedMethodsList& operator=(const THookedMethodsList&) = delete;

  void Lock() { EnterCriticalSection(&lock_); }
  void Unlock() { LeaveCriticalSection(&lock_); }
  // The newest record of the slot; -1 when none.
  int IndexOf(void** class_table, int slot_index) const {
    for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i)
      if (items_[i]->class_table == class_table && items_[i]->slot_index == slot_index) return i;
    return -1;
  }
  THookedMethod* Get(int i) const { return items_[i]; }
  void Add(const THookedMethod& m) { items_.push_back(new THookedMethod(m)); }
  void Delete(int i) {
    delete items_[i];
    items_.erase(items_.begin() + i);
  }
  int Count() const { return static_cast<int>(items_.size()); }
  // Writes the record's original back into its slot and drops the record.
  void Restore(int i) {
    void** slot = items_[i]->class_table + items_[i]->slot_index;
    void* original = items_[i]->original;
    if (InsideLoadedModule(slot)) WriteCode(slot, &original, sizeof original);
    Delete(i);
  }

 private:
  CRITICAL_SECTION lock_;
  std::vector<THookedMethod*> items_;
};

struct TInlineHook {
  std::uint8_t* target;
  std::uint8_t* trampoline;
  std::uint32_t trampoline_size;
  std::uint8_t* saved;
  std::uint32_t saved_count;
};

std::vector<TImportPatch>* g_import_patches = nullptr;
THookedMethodsList* g_hooked_methods = nullptr;
std::vector<TInlineHook*>* g_inline_hooks = nullptr;

bool IsNTPlatform() { return VCore::GetWindowsVersion().platform_id == VER_PLATFORM_WIN32_NT; }

std::string ModuleFileNameHolding(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) return {};
  return VCore::ModuleFileNameOf(static_cast<HMODULE>(info.AllocationBase));
}

std::string NullProcedureText(const std::string& name) {
  return "Cannot hook a null procedure (\"" + name + "\").";
}
std::string HookingErrorText(const std::string& name) {
  return "Cannot hook the procedure \"" + name + "\".";
}
std::string SharedAreaText(const std::string& module_name) {
  return "Cannot hook the module \"" + module_name + "\" located into the shared-area.";
}

void FreeInlineHook(TInlineHook* hook) {
  VirtualFree(hook->trampoline, 0, MEM_RELEASE);
  delete[] hook->saved;
  delete hook;
}

std::uint32_t Distance(const void* from_end, const void* to) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(to) -
                                    reinterpret_cast<std::uintptr_t>(from_end));
}

void WriteRel32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

// Value pushed by a "push imm32; jmp rel32" thunk (the 9x platform's import stubs).
bool PushJumpThunk(const void* code, std::uint32_t* pushed) {
  std::uint8_t b[10];
  if (!VCore::SafeRead(code, b, sizeof b) || b[0] != 0x68 || b[5] != 0xE9) return false;
  std::memcpy(pushed, b + 1, 4);
  return true;
}

bool ReadModuleText(const std::uint8_t* at, std::string* text) {
  text->clear();
  for (int i = 0; i < 512; ++i) {
    char c;
    if (!VCore::SafeRead(at + i, &c, 1)) return false;
    if (c == 0) return true;
    text->push_back(c);
  }
  return false;
}

// RVA of the import directory of a mapped module; 0 when the headers are not readable or
// there is none.
std::uint32_t ImportDirectoryOf(const std::uint8_t* base) {
  IMAGE_DOS_HEADER dos;
  if (!VCore::SafeRead(base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
      dos.e_lfanew <= 0)
    return 0;
  IMAGE_NT_HEADERS32 nt;
  if (!VCore::SafeRead(base + dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE)
    return 0;
  if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return 0;
  return nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
}

}  // namespace

void Initialize() {
  if (!g_import_patches) g_import_patches = new std::vector<TImportPatch>;
  if (!g_hooked_methods) g_hooked_methods = new THookedMethodsList;
  if (!g_inline_hooks) g_inline_hooks = new std::vector<TInlineHook*>;
}

void Finalize() {
  if (std::vector<TImportPatch>* patches = g_import_patches) {
    g_import_patches = nullptr;
    for (auto it = patches->rbegin(); it != patches->rend(); ++it) {
      try {
        PatchModuleImport(it->module, it->dll_name, it->new_address, true, true, "", it->original);
      } catch (const Exception&) {
        // An undo that cannot be done leaves that slot; the others still go back.
      }
    }
    delete patches;
  }
  delete g_hooked_methods;
  g_hooked_methods = nullptr;
  if (std::vector<TInlineHook*>* hooks = g_inline_hooks) {
    g_inline_hooks = nullptr;
    for (auto it = hooks->rbegin(); it != hooks->rend(); ++it) {
      WriteCode((*it)->target, (*it)->saved, (*it)->saved_count);
      FreeInlineHook(*it);
    }
    delete hooks;
  }
}

bool IsInitialized() { return g_import_patches != nullptr; }

bool WriteCode(void* address, const void* bytes, std::size_t count) {
  if (count == 0) return true;
  if (!address || !bytes) return false;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::uintptr_t page = system.dwPageSize;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = start & ~(page - 1);
  const std::uintptr_t last = (start + count - 1) & ~(page - 1);
  // Page by page, so that each page gets its own protection back.
  std::vector<DWORD> old;
  for (std::uintptr_t p = first;; p += page) {
    DWORD previous = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(p), 1, PAGE_EXECUTE_READWRITE, &previous)) {
      for (std::size_t k = 0; k < old.size(); ++k)
        VirtualProtect(reinterpret_cast<void*>(first + k * page), 1, old[k], &previous);
      return false;
    }
    old.push_back(previous);
    if (p == last) break;
  }
  std::memcpy(address, bytes, count);
  for (std::size_t k = 0; k < old.size(); ++k) {
    DWORD ignored = 0;
    VirtualProtect(reinterpret_cast<void*>(first + k * page), 1, old[k], &ignored);
  }
  FlushInstructionCache(GetCurrentProcess(), address, count);
  return true;
}

bool WriteJump(void* address, const void* target) {
  std::uint8_t jump[5] = {0xE9};
  WriteRel32(jump + 1, Distance(static_cast<std::uint8_t*>(address) + 5, target));
  return WriteCode(address, jump, sizeof jump);
}

void* PatchVirtualSlot(void* class_table, int slot_index, void* new_procedure) {
  THookedMethodsList* list = g_hooked_methods;
  if (!list || !class_table || slot_index < 0) return nullptr;
  auto** table = static_cast<void**>(class_table);
  void** slot = table + slot_index;
  void* result = nullptr;
  list->Lock();
  void* current = nullptr;
  if (VCore::SafeRead(slot, &current, sizeof current)) {
    if (current == new_procedure) {
      const int i = list->IndexOf(table, slot_index);
      if (i >= 0) result = list->Get(i)->original;
    } else if (InsideLoadedModule(slot) && WriteCode(slot, &new_procedure, sizeof new_procedure)) {
      list->Add({table, current, slot_index});
      result = current;
    }
  }
  list->Unlock();
  return result;
}

bool RestoreVirtualSlot(void* class_table, int slot_index) {
  THookedMethodsList* list = g_hooked_methods;
  if (!list) return false;
  list->Lock();
  const int i = list->IndexOf(static_cast<void**>(class_table), slot_index);
  if (i >= 0) list->Restore(i);
  list->Unlock();
  return i >= 0;
}

void* HookProcedure(void* target, void* new_procedure) {
  std::vector<TInlineHook*>* hooks = g_inline_hooks;
  if (!hooks) throw EHookingError("The hook lists do not exist.");
  if (!target || !new_procedure) throw EHookingError("Cannot hook a null address.");
  auto* code = static_cast<std::uint8_t*>(target);
  for (const TInlineHook* h : *hooks)
    if (h->target == code) return h->trampoline;

  // Whole instructions until at least the 5 bytes of the jump.
  std::uint8_t bytes[32];
  const std::size_t readable = VCore::ReadableBytes(code, sizeof bytes);
  if (readable < 5 || !VCore::SafeRead(code, bytes, readable))
    throw EHookingError("The procedure's code cannot be read.");
  struct TCopied {
    int offset;
    TDecoded d;
  };
  std::vector<TCopied> copied;
  int n = 0;
  while (n < 5) {
    TDecoded d = Decode(bytes + n, readable - n);
    if (!d.ok && static_cast<std::size_t>(n) + 1 > readable)
      throw EHookingError("The procedure's code cannot be read.");
    copied.push_back({n, d});
    n += d.length;
  }
  if (static_cast<std::size_t>(n) > readable)
    throw EHookingError("The procedure's code cannot be read.");

  const auto is_short_branch = [](const TDecoded& d) {
    return d.ok && !d.two_byte &&
           ((d.opcode >= 0x70 && d.opcode <= 0x7F) || (d.opcode >= 0xE0 && d.opcode <= 0xE3) ||
            d.opcode == 0xEB);
  };
  const auto is_near_branch = [](const TDecoded& d) {
    return d.ok && ((!d.two_byte && (d.opcode == 0xE8 || d.opcode == 0xE9)) ||
                    (d.two_byte && d.opcode >= 0x80 && d.opcode <= 0x8F));
  };
  // Branch target as an offset from the start of the copy.
  const auto short_target = [&](const TCopied& c) {
    return c.offset + c.d.length + static_cast<std::int8_t>(bytes[c.offset + c.d.length - 1]);
  };
  int stubs = 0;
  for (const TCopied& c : copied) {
    if (is_short_branch(c.d)) {
      const int t = short_target(c);
      if (t < 0 || t >= n) ++stubs;
    } else if (is_near_branch(c.d) && c.d.operand16) {
      throw EHookingError("A 16-bit branch cannot be moved.");
    }
  }

  const std::uint32_t size = static_cast<std::uint32_t>(n + 5 + 5 * stubs);
  auto* trampoline = static_cast<std::uint8_t*>(
      VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!trampoline) throw EHookingError("No memory for the trampoline.");
  std::memcpy(trampoline, bytes, n);
  std::uint8_t* stub = trampoline + n + 5;
  for (const TCopied& c : copied) {
    const int end = c.offset + c.d.length;
    if (is_short_branch(c.d)) {
      const int t = short_target(c);
      if (t >= 0 && t < n) continue;
      trampoline[end - 1] = static_cast<std::uint8_t>(stub - (trampoline + end));
      stub[0] = 0xE9;
      WriteRel32(stub + 1, Distance(stub + 5, code + t));
      stub += 5;
    } else if (is_near_branch(c.d)) {
      std::int32_t rel;
      std::memcpy(&rel, bytes + end - 4, 4);
      const std::int64_t t = static_cast<std::int64_t>(end) + rel;
      if (t >= 0 && t < n) continue;
      WriteRel32(trampoline + end - 4, Distance(trampoline + end, code + end + rel));
    }
  }
  trampoline[n] = 0xE9;
  WriteRel32(trampoline + n + 1, Distance(trampoline + n + 5, code + n));
  FlushInstructionCache(GetCurrentProcess(), trampoline, size);

  auto* hook =
      new TInlineHook{code, trampoline, size, new std::uint8_t[n], static_cast<std::uint32_t>(n)};
  std::memcpy(hook->saved, bytes, n);
  if (!WriteJump(code, new_procedure)) {
    FreeInlineHook(hook);
    throw EHookingError("The procedure's code cannot be written.");
  }
  hooks->push_back(hook);
  return trampoline;
}

void* TryHookProcedure(void* target, void* new_procedure, const std::string& name) {
  target = const_cast<void*>(VCore::FollowImportJump(target));
  new_procedure = const_cast<void*>(VCore::FollowImportJump(new_procedure));
  if (!target) throw EProcNull(NullProcedureText(name));
  if (reinterpret_cast<std::uintptr_t>(target) >= 0x80000000u && !IsNTPlatform())
    throw ESharedArea(SharedAreaText(ModuleFileNameHolding(target)));
  try {
    return HookProcedure(target, new_procedure);
  } catch (...) {
    throw EHookingError(HookingErrorText(name));
  }
}

bool UnhookProcedure(void* address) {
  std::vector<TInlineHook*>* hooks = g_inline_hooks;
  if (!hooks || !address) return false;
  bool any = false;
  for (std::size_t i = hooks->size(); i-- > 0;) {
    TInlineHook* h = (*hooks)[i];
    if (h->target != address && h->trampoline != address) continue;
    if (!WriteCode(h->target, h->saved, h->saved_count)) continue;
    FreeInlineHook(h);
    hooks->erase(hooks->begin() + static_cast<std::ptrdiff_t>(i));
    any = true;
  }
  return any;
}

void* PatchModuleImport(void* module, const std::string& dll_name, void* original,
                        bool keep_no_undo, bool silent, const std::string& name,
                        void* new_address) {
  if (!original) throw EProcNull(NullProcedureText(name));
  const bool nt = IsNTPlatform();
  if (!nt && reinterpret_cast<std::uintptr_t>(module) >= 0x80000000u)
    throw ESharedArea(SharedAreaText(VCore::ModuleFileNameOf(static_cast<HMODULE>(module))));
  std::uint32_t thunk_value = 0;
  const bool by_thunk = !nt && PushJumpThunk(original, &thunk_value);

  const auto* base = static_cast<const std::uint8_t*>(module);
  const std::uint32_t directory = module ? ImportDirectoryOf(base) : 0;
  std::vector<TImportPatch>* undo = g_import_patches;
  if (directory == 0 || (!keep_no_undo && !undo)) {
    if (silent) return nullptr;
    throw EHookingError(HookingErrorText(name));
  }
  const std::string wanted = VCore::UpperCase(dll_name);
  void* result = nullptr;
  // Bounded, so that a damaged table ends the walk.
  for (int d = 0; d < 4096; ++d) {
    IMAGE_IMPORT_DESCRIPTOR descriptor;
    if (!VCore::SafeRead(base + directory + d * sizeof descriptor, &descriptor,
                         sizeof descriptor) ||
        descriptor.Name == 0)
      break;
    std::string imported;
    if (!ReadModuleText(base + descriptor.Name, &imported) ||
        VCore::UpperCase(imported) != wanted || descriptor.FirstThunk == 0)
      continue;
    auto** slots =
        reinterpret_cast<void**>(const_cast<std::uint8_t*>(base) + descriptor.FirstThunk);
    for (int s = 0; s < 65536; ++s) {
      void* value = nullptr;
      if (!VCore::SafeRead(slots + s, &value, sizeof value) || value == nullptr) break;
      std::uint32_t pushed = 0;
      const bool match =
          by_thunk ? PushJumpThunk(value, &pushed) && pushed == thunk_value : value == original;
      if (!match || !WriteCode(slots + s, &new_address, sizeof new_address)) continue;
      if (!keep_no_undo)
        undo->push_back({static_cast<HMODULE>(module), dll_name, original, new_address});
      result = original;
    }
  }
  if (!result && !silent) throw EHookingError(HookingErrorText(name));
  return result;
}

bool PatchImportsInModules(const std::vector<std::string>& module_names,
                           const std::string& dll_name, bool silent, void** original,
                           void* new_address, const std::string& procedure_name) {
  void* real = nullptr;
  if (HMODULE dll = GetModuleHandleA(dll_name.c_str()))
    real = reinterpret_cast<void*>(GetProcAddress(dll, procedure_name.c_str()));
  if (original) *original = real;
  bool any = false;
  for (const std::string& module_name : module_names) {
    HMODULE module = GetModuleHandleA(module_name.c_str());
    if (!module) continue;
    if (PatchModuleImport(module, dll_name, real, false, silent, dll_name + "." + procedure_name,
                          new_address))
      any = true;
  }
  return any;
}

#endif

}  // namespace VHook

#include "VCallStack.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "VDebug.h"
#include "VTextUtils.h"

#ifdef _WIN32
#include <windows.h>

#include "VCore.h"
#include "VHook.h"
#include "VLData.h"
#include "VLDataWin.h"
#include "VLeaks.h"
#include "VMemory.h"
#endif

namespace ExceptionLog {

namespace {

std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::string UnderscoredProcedure(std::string name) {
  if (!name.empty() && name[0] == '@') name[0] = '_';
  return name;
}

// Two parts: unit and procedure; three: unit, class and procedure. Other counts change nothing.
void DottedSplit(const std::string& text, TAddressLocation& location) {
  const std::vector<std::string> parts = SplitAt(text, '.');
  if (parts.size() != 2 && parts.size() != 3) return;
  location.UnitName = parts[0] + ".pas";
  location.ClassName = parts.size() == 3 ? parts[1] : std::string();
  location.ProcedureName = UnderscoredProcedure(parts.back());
  location.Kind = 3;
}

bool SameText(const std::string& a, const std::string& b) {
  return VCore::LowerCase(a) == VCore::LowerCase(b);
}

}  // namespace

std::uint32_t StackKindMask(const TVantorModuleOptions& options) {
  std::uint32_t mask = 1u << 4;
  if (options.FStackFlags & 0x01) mask |= 1u << 2;
  if (options.FStackFlags & 0x02) mask |= 1u << 3;
  return mask;
}

void SplitMangledName(const std::string& name, TAddressLocation& location) {
  if (name.empty()) return;
  if (name[0] == '@' && name.size() > 1 && name[1] != '$') {
    const std::size_t dollar = name.find('$');
    if (dollar == std::string::npos) return;
    std::string text = name.substr(1, dollar - 1);
    if (!text.empty() && text.back() == '@') text.pop_back();
    const std::size_t twin = text.find("@@");
    if (twin != std::string::npos) text[twin + 1] = '_';
    std::replace(text.begin(), text.end(), '@', '.');
    DottedSplit(text, location);
  } else if (name.find('.') != std::string::npos) {
    DottedSplit(name.substr(0, name.find('@')), location);
  } else if (name[0] != '?') {
    location.UnitName.clear();
    location.ClassName.clear();
    location.ProcedureName = UnderscoredProcedure(name);
    location.Kind = 2;
  }
}

std::shared_ptr<void> PickOtherDebugSource(std::uintptr_t module) {
  try {
    std::unique_ptr<TVLDebugInfoSource> source;
    if (!VDebug::PickDebugSource(module, source)) return nullptr;
    return std::shared_ptr<TVLDebugInfoSource>(std::move(source));
  } catch (...) {
    return nullptr;
  }
}

bool AskOtherDebugSource(void* source, std::uintptr_t address, TOtherSourceAnswer& answer) {
  if (!source) return false;
  try {
    TVLLocationInfo info;
    if (!static_cast<TVLDebugInfoSource*>(source)->GetLocation(address, info)) return false;
    answer.UnitName = std::move(info.unit_name);
    answer.ProcedureName = std::move(info.procedure_name);
    answer.SourceFile = std::move(info.source_file);
    answer.Line = info.line_number;
    answer.LineOffset = info.line_offset;
    return true;
  } catch (...) {
    return false;
  }
}

void ApplyOtherSourceLocation(const TOtherSourceAnswer& answer, TAddressLocation& location) {
  location.UnitName =
      VCore::ExtractFileName(!answer.SourceFile.empty() ? answer.SourceFile : answer.UnitName);
  location.ClassName.clear();
  const std::vector<std::string> parts = SplitAt(answer.ProcedureName, '.');
  if (parts.size() >= 3) {
    // Nested classes keep their dots.
    for (std::size_t i = 1; i + 1 < parts.size(); ++i)
      location.ClassName += (i > 1 ? "." : "") + parts[i];
    location.ProcedureName = parts.back();
  } else if (parts.size() == 2) {
    const std::string unit = location.UnitName;
    const std::string bare = unit.substr(0, std::min(unit.size(), unit.rfind('.')));
    if (!SameText(parts[0], bare)) location.ClassName = parts[0];
    location.ProcedureName = parts[1];
  } else {
    location.ProcedureName = answer.ProcedureName;
  }
  location.Line = answer.Line > 0 ? static_cast<std::uint32_t>(answer.Line) : 0;
  location.LineOffset = answer.LineOffset > 0 ? static_cast<std::uint32_t>(answer.LineOffset) : 0;
  if (location.Line != 0)
    location.Kind = 4;
  else if (!location.UnitName.empty())
    location.Kind = 3;
  else if (!location.ProcedureName.empty())
    location.Kind = 2;
  else
    location.Kind = location.ModuleInfo ? 1 : 0;
}

bool FindCallBefore(std::uintptr_t value, const TMemoryReader& read, TCallSite& site) {
  site = TCallSite{};
  std::uint8_t b[7];  // b[6] is the byte just before value
  if (value < sizeof b || !read(value - sizeof b, b, sizeof b)) return false;
  std::uint8_t probe[4];
  auto accept = [&](TCallForm form, std::uintptr_t length) {
    site.Form = form;
    site.Address = value - length;
    return true;
  };
  if (b[2] == 0xE8) {
    const std::uintptr_t target = static_cast<std::uint32_t>(value + Load32(b + 3));
    if (!read(target, probe, 1)) return false;
    site.Target = target;
    return accept(TCallForm::kDirect, 5);
  }
  if (b[5] == 0xFF && b[6] >= 0xD0 && b[6] <= 0xD7) return accept(TCallForm::kRegister, 2);
  if (b[5] == 0xFF && ((b[6] >= 0x10 && b[6] <= 0x13) || b[6] == 0x16 || b[6] == 0x17))
    return accept(TCallForm::kRegisterMemory, 2);
  if (b[4] == 0xFF && b[5] >= 0x50 && b[5] <= 0x57 && b[5] != 0x54) {
    if (b[2] != 0x8B && b[1] != 0x8B) return false;
    return accept(TCallForm::kRegisterDisp8, 3);
  }
  if (b[1] == 0xFF && b[2] >= 0x90 && b[2] <= 0x97 && b[2] != 0x94) {
    const auto disp = static_cast<std::int32_t>(Load32(b + 3));
    if (disp < -0x4000 || disp > 0x4000) return false;
    return accept(TCallForm::kRegisterDisp32, 6);
  }
  if (b[4] == 0xFF && b[5] == 0x14 && b[6] == 0x24) return accept(TCallForm::kEsp, 3);
  if (b[3] == 0xFF && b[4] == 0x54 && b[5] == 0x24) return accept(TCallForm::kEspDisp8, 4);
  if (b[0] == 0xFF && b[1] == 0x94 && b[2] == 0x24) return accept(TCallForm::kEspDisp32, 7);
  if (b[1] == 0xFF && b[2] == 0x15) {
    if (!read(Load32(b + 3), probe, 4)) return false;
    return accept(TCallForm::kAbsolute, 6);
  }
  return false;
}

bool TStackAdmission::Admit(std::uint8_t kind) {
  if (kind >= 32 || ((KindSet >> kind) & 1) == 0) return false;
  if (FirstIndex == -1) return true;
  if (++Seen <= FirstIndex) return false;
  if (Kept >= MaxCount) return false;
  ++Kept;
  return true;
}

void TidyCallStack(TVantorStackList& list, int first_new, bool drop_unlocated) {
  first_new = std::max(first_new, 0);
  if (drop_unlocated) {
    for (int i = list.Count() - 1; i >= first_new; --i) {
      const TAddressLocation& e = *list.Items(i);
      if (e.Kind <= 1 || e.ProcedureName.find("HandleException") != std::string::npos)
        list.Delete(i);
    }
  }
  auto located = [](const TAddressLocation& e) { return e.Kind >= 2 && e.Kind <= 4; };
  for (int i = list.Count() - 2; i >= first_new; --i) {
    TAddressLocation& e = *list.Items(i);
    if (!located(e)) continue;
    for (int j = i + 1; j <= i + 2 && j < list.Count(); ++j) {
      const TAddressLocation& next = *list.Items(j);
      if (located(next) && next.ModuleInfo == e.ModuleInfo && next.Address == e.Address) {
        e.Kind = 0;
        break;
      }
    }
  }
  for (int i = list.Count() - 1; i >= std::max(first_new, 1); --i) {
    const TAddressLocation& e = *list.Items(i);
    if (e.Kind != 4 || e.LineOffset != 0) continue;
    int j = i - 1;
    for (; j >= 0; --j) {
      const TAddressLocation& below = *list.Items(j);
      const bool other_procedure = below.UnitName != e.UnitName || below.ClassName != e.ClassName ||
                                   below.ProcedureName != e.ProcedureName;
      const bool fits = (other_procedure || below.LineOffset == 0) &&
                        below.ThreadID == e.ThreadID && below.ThreadKind == e.ThreadKind;
      if (!fits) break;
    }
    if (j >= 0 && i - j >= 2) {
      for (int k = j + 1; k < i; ++k) list.Items(k)->Kind = 0;
    }
  }
}

#ifdef _WIN32

namespace {

constexpr std::uintptr_t kPage = 0x1000;
// Export code is measured up to its first return, within this many bytes.
constexpr int kExportCodeLimit = 0x100000;

// Reads through the probes, remembering the last pages found readable or not (one scan only:
// the cache lives as long as the scan).
class TPageProbe {
 public:
  bool Read(std::uintptr_t address, void* buffer, std::size_t size) {
    if (size == 0) return true;
    if (address == 0 || address + size < address) return false;
    const std::uintptr_t last = (address + size - 1) & ~(kPage - 1);
    for (std::uintptr_t page = address & ~(kPage - 1);; page += kPage) {
      if (!PageReadable(page)) return false;
      if (page == last) break;
    }
    return VCore::GuardedCopy(buffer, reinterpret_cast<const void*>(address), size) == size;
  }

 private:
  struct TPage {
    std::uintptr_t page;
    bool readable;
  };

  bool PageReadable(std::uintptr_t page) {
    for (std::size_t i = 0; i < used_; ++i)
      if (pages_[i].page == page) return pages_[i].readable;
    const bool readable = VCore::IsMemoryReadable(reinterpret_cast<const void*>(page), kPage);
    pages_[next_] = {page, readable};
    next_ = (next_ + 1) % kCacheSize;
    used_ = std::max(used_, next_ == 0 ? kCacheSize : next_);
    return readable;
  }

  static constexpr std::size_t kCacheSize = 16;
  TPage pages_[kCacheSize] = {};
  std::size_t used_ = 0;  // entries of pages_ that hold a page
  std::size_t next_ = 0;
};

void CutShortStrings(TAddressLocation& location) {
  for (std::string* s :
       {&location.UnitName, &location.ClassName, &location.ProcedureName, &location.ThreadName})
    if (s->size() > kShortStringLength) s->resize(kShortStringLength);
}

// The export whose code covers the address (start to start + code length, both included).
const TVantorFunctionInfo* ExportCovering(TVantorModuleInfo& module, std::uintptr_t address) {
  TVantorFunctionsList& exports = module.Exports;
  int low = 0, high = exports.Count() - 1, found = -1;
  while (low <= high) {
    const int middle = low + (high - low) / 2;
    if (exports.Items(middle)->Address <= address) {
      found = middle;
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  if (found < 0) return nullptr;
  TVantorFunctionInfo* entry = exports.Items(found);
  if (entry->CodeLength == 0)
    entry->CodeLength = static_cast<std::uint32_t>(
        VHook::ProcedureLength(reinterpret_cast<const void*>(entry->Address), kExportCodeLimit));
  if (address - entry->Address > entry->CodeLength) return nullptr;
  return entry;
}

void LightLocation(std::uintptr_t address, std::uint32_t thread_id, TAddressLocation& location,
                   bool exact, std::uint8_t thread_kind) {
  location = TAddressLocation{};
  location.Address = address;
  location.ThreadID = thread_id;
  location.ThreadKind = thread_kind;
  location.Exact = exact ? 1 : 0;
  MEMORY_BASIC_INFORMATION mbi{};
  if (VirtualQuery(reinterpret_cast<const void*>(address), &mbi, sizeof mbi) != sizeof mbi ||
      mbi.State != MEM_COMMIT || !mbi.AllocationBase)
    return;
  const std::string file = VCore::ModuleFileNameOf(static_cast<HMODULE>(mbi.AllocationBase));
  if (file.empty()) return;
  location.ModuleRef = std::make_shared<TVantorModuleInfo>();
  location.ModuleRef->Handle = reinterpret_cast<VCore::TModuleHandle>(mbi.AllocationBase);
  location.ModuleRef->FileName = file;
  location.ModuleInfo = location.ModuleRef.get();
  location.Kind = 1;
}

thread_local std::unordered_map<std::uintptr_t, TAddressLocation>* t_found = nullptr;

void LocateAddress(const void* address, std::uint32_t thread_id, TAddressLocation& location,
                   bool exact, std::uint8_t thread_kind) {
  location = TAddressLocation{};
  std::shared_ptr<TVantorModuleInfo> held = VCore::ModuleInfoRefOfAddress(address);
  TVantorModuleInfo* module = held.get();
  location.ModuleInfo = module;
  location.ThreadID = thread_id;
  location.ThreadKind = thread_kind;
  location.Exact = exact ? 1 : 0;
  location.Address = reinterpret_cast<std::uintptr_t>(address);
  if (module && VLData::LookupAddressInDebugData(address, location)) {
    location.Address = reinterpret_cast<std::uintptr_t>(address);
    location.ModuleInfo = module;
    location.ModuleRef = std::move(held);
    CutShortStrings(location);
    return;
  }
  location.UnitName.clear();
  location.ClassName.clear();
  location.ProcedureName.clear();
  location.Line = 0;
  location.LineOffset = 0;
  location.ModuleInfo = module;
  location.ModuleRef = std::move(held);
  TOtherSourceAnswer answer;
  if (module && module->OtherDebugSource &&
      AskOtherDebugSource(module->OtherDebugSource.get(), location.Address, answer) &&
      !answer.ProcedureName.empty()) {
    ApplyOtherSourceLocation(answer, location);
    CutShortStrings(location);
    return;
  }
  location.Kind = 0;
  if (!module) return;
  location.Kind = 1;
  if (module->Exports.Count() == 0) return;
  if (const TVantorFunctionInfo* entry = ExportCovering(*module, location.Address))
    SplitMangledName(entry->Name, location);
  CutShortStrings(location);
}

}  // namespace

TLocationCacheScope::TLocationCacheScope() : previous_(t_found) { t_found = &found_; }
TLocationCacheScope::~TLocationCacheScope() { t_found = previous_; }

void GetAddressLocation(const void* address, std::uint32_t thread_id, TAddressLocation& location,
                        bool exact, std::uint8_t thread_kind) {
  const auto key = reinterpret_cast<std::uintptr_t>(address);
  if (t_found) {
    const auto kept = t_found->find(key);
    if (kept != t_found->end()) {
      location = kept->second;
      location.ThreadID = thread_id;
      location.ThreadKind = thread_kind;
      location.Exact = exact ? 1 : 0;
      return;
    }
  }
  LocateAddress(address, thread_id, location, exact, thread_kind);
  if (t_found) t_found->emplace(key, location);
}

void ScanStackReturnAddresses(TVantorStackList& list, const void* first_address,
                              const void* stack_start, const void* stack_end,
                              std::uint32_t kind_set, int max_count, int first_index,
                              bool follow_calls, bool light, std::uint8_t thread_kind,
                              std::uint32_t thread_id) {
  const int first_new = list.Count();
  TStackAdmission admission{kind_set, max_count, first_index};
  TPageProbe probe;
  const TMemoryReader read = [&probe](std::uintptr_t address, void* buffer, std::size_t size) {
    return probe.Read(address, buffer, size);
  };
  auto add = [&](std::uintptr_t address, bool exact) {
    if (list.Count() >= kMaxStackEntries) return;
    auto entry = std::make_unique<TAddressLocation>();
    if (light)
      LightLocation(address, thread_id, *entry, exact, thread_kind);
    else
      GetAddressLocation(reinterpret_cast<const void*>(address), thread_id, *entry, exact,
                         thread_kind);
    if (admission.Admit(entry->Kind)) list.Add(std::move(entry));
  };
  if (first_address) add(reinterpret_cast<std::uintptr_t>(first_address), true);

  const auto start = reinterpret_cast<std::uintptr_t>(stack_start);
  std::uintptr_t end = reinterpret_cast<std::uintptr_t>(stack_end);
  if (start != 0 && end >= start) {
    if (end - start > kMaxStackScan) end = start + kMaxStackScan;
    int known = 0;  // slots from here on that need no probe
    for (std::uintptr_t slot = start; slot <= end; slot += 4) {
      if (known == 0) {
        const void* at = reinterpret_cast<const void*>(slot);
        if (VCore::ReadableBytes(at, 400) >= 400)
          known = 100;
        else if (VCore::IsMemoryReadable(at, 4))
          known = 1;
      }
      if (known > 0) {
        --known;
        // Probed readable above; the copy is guarded all the same.
        std::uint32_t value;
        TCallSite site;
        if (VCore::GuardedCopy(&value, reinterpret_cast<const void*>(slot), 4) == 4 &&
            FindCallBefore(value, read, site)) {
          if (follow_calls && site.Form == TCallForm::kDirect) {
            const auto callee = reinterpret_cast<std::uintptr_t>(
                VCore::FollowImportJump(reinterpret_cast<const void*>(site.Target)));
            std::uint8_t head[5];
            if (probe.Read(callee, head, sizeof head) && head[0] != 0xE8) add(callee, false);
          }
          add(site.Address, false);
        }
      }
      if (slot > UINTPTR_MAX - 4) break;
    }
  }
  // The toolchain has no IDE host process: unlocated entries stay.
  TidyCallStack(list, first_new, false);
}

std::unique_ptr<TVantorStackList> BuildCallStack(const void* first_address, const void* stack_start,
                                                 const void* stack_end, std::uint32_t kind_set,
                                                 int max_count, int first_index, bool follow_calls,
                                                 std::uint8_t thread_kind,
                                                 std::uint32_t thread_id) {
  auto list = std::make_unique<TVantorStackList>();
  ScanStackReturnAddresses(*list, first_address, stack_start, stack_end, kind_set, max_count,
                           first_index, follow_calls, false, thread_kind, thread_id);
  return list;
}

void CaptureAllocationStack(const void* frame, std::uint32_t* stack_copy,
                            std::uint32_t* frame_chain) {
  // The live part of this thread's stack: from this frame up to the base.
  const auto low = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const auto base = reinterpret_cast<std::uintptr_t>(VCore::StackTopOfThread());
  auto at = reinterpret_cast<std::uintptr_t>(frame);
  if (!frame || at < low || at >= base || (at & 3) != 0) return;
  const std::size_t words = std::min<std::size_t>(VLeaks::kStackDepth, (base - at) / 4);
  std::memcpy(stack_copy, frame, words * 4);
  std::size_t n = 0;
  while (n < VLeaks::kStackDepth && at + 8 <= base) {
    const auto* pair = reinterpret_cast<const std::uint32_t*>(at);
    frame_chain[n++] = pair[1];
    const std::uintptr_t next = pair[0];
    if (next <= at || next >= base || (next & 3) != 0) break;
    at = next;
  }
}

std::vector<std::string> OwnUnitNames() {
  // Built at each call: the leak report runs this unit's start again after static destruction.
  std::vector<std::string> list = {
#include "VOwnUnits.inc"
  };
  std::sort(list.begin(), list.end());
  return list;
}

void StartCallStacks() {
  VLData::SetLibraryUnitFiles(OwnUnitNames());
  VCore::SetOtherDebugSourcePicker(
      [](TVantorModuleInfo& module) { return PickOtherDebugSource(module.Handle); });
  VLeaks::SetStackCapture(&CaptureAllocationStack);
}

#endif

}  // namespace ExceptionLog

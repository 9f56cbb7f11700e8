#include "VClassModel.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "SysUtils.h"
#include "VMemory.h"

namespace VCore {
namespace {

// One class of each type_info kind, to learn the runtime's three class type_info vtables.
struct KindBaseA {
  virtual ~KindBaseA() = default;
};
struct KindBaseB {
  virtual ~KindBaseB() = default;
};
struct KindSingle : KindBaseA {};
struct KindMultiple : KindBaseA, KindBaseB {};

const void* VtableOf(const void* object) {
  const void* vtable = nullptr;
  std::memcpy(&vtable, object, sizeof vtable);
  return vtable;
}

bool IsClassTypeInfoVtable(const void* vtable) {
  static const void* const kinds[3] = {VtableOf(&typeid(KindBaseA)), VtableOf(&typeid(KindSingle)),
                                       VtableOf(&typeid(KindMultiple))};
  return vtable && (vtable == kinds[0] || vtable == kinds[1] || vtable == kinds[2]);
}

// The readable name of a type_info, without reading past readable memory.
bool TypeNameView(TClass cls, std::string_view* out) {
  const char* name = nullptr;
  // type_info layout: vtable pointer, then the name pointer.
  if (!SafeRead(reinterpret_cast<const char*>(cls) + sizeof(void*), &name, sizeof name))
    return false;
  constexpr std::size_t kMaxName = 1024;
  const std::size_t readable = ReadableBytes(name, kMaxName);
  if (readable == 0) return false;
  const std::size_t length = strnlen(name, readable);
  if (length == readable || length == 0) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(name[i]) < 32) return false;
  if (out) *out = std::string_view(name, length);
  return true;
}

// The runtime marks names of classes local to a unit with a leading '*'.
std::string_view Unmarked(std::string_view mangled) {
  if (!mangled.empty() && mangled[0] == '*') mangled.remove_prefix(1);
  return mangled;
}

// A global class's mangled name is "<length><identifier>": the identifier, else empty. Type
// names are at most 1024 characters: four digits.
std::string_view GlobalIdentifier(std::string_view mangled) {
  mangled = Unmarked(mangled);
  std::size_t digits = 0, length = 0;
  while (digits < mangled.size() && digits < 4 && mangled[digits] >= '0' && mangled[digits] <= '9')
    length = length * 10 + (mangled[digits++] - '0');
  if (digits == 0 || digits + length != mangled.size()) return {};
  return mangled.substr(digits);
}

std::string_view Trimmed(std::string_view name) {
  while (!name.empty() && static_cast<unsigned char>(name.front()) <= ' ') name.remove_prefix(1);
  while (!name.empty() && static_cast<unsigned char>(name.back()) <= ' ') name.remove_suffix(1);
  return name;
}

char UpperCased(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualUpperCased(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperCased(a[i]) != UpperCased(b[i])) return false;
  return true;
}

// The class's name compared trimmed and upper-cased with a trimmed name; global classes (every
// exception class of the library and of a program) without demangling or allocating, since
// every raise asks this.
bool ClassNameIs(TClass cls, std::string_view trimmed) {
  std::string_view mangled;
  if (!TypeNameView(cls, &mangled)) return false;
  mangled = Unmarked(mangled);
  const std::string_view id = GlobalIdentifier(mangled);
  if (!id.empty()) return EqualUpperCased(id, trimmed);
  // Nested, std:: and local names demangle with a "::".
  if (trimmed.find(':') == std::string_view::npos && !mangled.empty() &&
      (mangled[0] == 'N' || mangled[0] == 'S' || mangled[0] == 'Z'))
    return false;
  return EqualUpperCased(ClassNameOf(cls), trimmed);
}

std::string Demangle(std::string_view mangled) {
  // Global classes need no demangling.
  if (const std::string_view id = GlobalIdentifier(mangled); !id.empty()) return std::string(id);
  const std::string name(mangled);
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (!text || status != 0) {
    std::free(text);
    return name;
  }
  std::string result(text);
  std::free(text);
  return result;
}

// Calls visit(c) for the class, then each base depth-first; stops at the first true.
template <class Visit>
bool AnyInAncestry(TClass cls, const Visit& visit, int depth) {
  if (depth > 64 || !IsValidClass(cls)) return false;
  if (visit(cls)) return true;
  const void* kind = VtableOf(cls);
  if (kind == VtableOf(&typeid(KindSingle)))
    return AnyInAncestry(static_cast<const abi::__si_class_type_info*>(cls)->__base_type, visit,
                         depth + 1);
  if (kind == VtableOf(&typeid(KindMultiple))) {
    const auto* vmi = static_cast<const abi::__vmi_class_type_info*>(cls);
    unsigned count = 0;
    if (!SafeRead(&vmi->__base_count, &count, sizeof count) || count > 256) return false;
    if (!IsMemoryReadable(vmi->__base_info, count * sizeof(abi::__base_class_type_info)))
      return false;
    for (unsigned i = 0; i < count; ++i)
      if (AnyInAncestry(vmi->__base_info[i].__base_type, visit, depth + 1)) return true;
  }
  return false;
}

}  // namespace

std::string NormalisedClassName(std::string_view name) {
  std::string out(Trimmed(name));
  for (char& c : out) c = UpperCased(c);
  return out;
}

bool IsValidClass(TClass cls) {
  const void* vtable = nullptr;
  if (!cls || !SafeRead(cls, &vtable, sizeof vtable)) return false;
  if (!IsClassTypeInfoVtable(vtable)) return false;
  // A si/vmi type_info carries its base fields behind the name: they must be readable too.
  std::size_t size = sizeof(std::type_info);
  if (vtable == VtableOf(&typeid(KindSingle))) size = sizeof(abi::__si_class_type_info);
  if (vtable == VtableOf(&typeid(KindMultiple)))
    size = sizeof(std::type_info) + 2 * sizeof(unsigned);  // __flags, __base_count
  return IsMemoryReadable(cls, size) && TypeNameView(cls, nullptr);
}

TClass ClassOfObject(const void* object) {
  const void* const* vtable = nullptr;
  if (!object || !SafeRead(object, &vtable, sizeof vtable)) return nullptr;
  // vtable[-2] offset to top, vtable[-1] the type_info.
  const void* header[2];
  if (!vtable || !SafeRead(vtable - 2, header, sizeof header)) return nullptr;
  auto cls = static_cast<TClass>(header[1]);
  return IsValidClass(cls) ? cls : nullptr;
}

bool IsValidObject(const void* object) { return ClassOfObject(object) != nullptr; }

std::string ClassNameOf(TClass cls) {
  std::string_view mangled;
  if (!IsValidClass(cls) || !TypeNameView(cls, &mangled)) return {};
  return Demangle(Unmarked(mangled));
}

std::vector<TClass> ClassAncestry(TClass cls) {
  std::vector<TClass> out;
  AnyInAncestry(
      cls,
      [&](TClass c) {
        out.push_back(c);
        return false;
      },
      0);
  return out;
}

bool ClassInheritsFromName(TClass cls, std::string_view name) {
  const std::string_view wanted = Trimmed(name);
  return AnyInAncestry(
      cls, [&](TClass c) { return ClassNameIs(c, wanted); }, 0);
}

bool InheritsFromClassName(const void* object, std::string_view name) {
  TClass cls = ClassOfObject(object);
  return cls && ClassInheritsFromName(cls, name);
}

bool InheritsFromClass(const void* object, TClass cls) {
  if (!IsValidClass(cls)) return false;
  TClass own = ClassOfObject(object);
  if (!own) return false;
  // The same type_info, else the same name (a class of another module).
  std::string_view mangled;
  const std::string_view id = TypeNameView(cls, &mangled) ? GlobalIdentifier(mangled) : "";
  if (id.empty()) return ClassInheritsFromName(own, ClassNameOf(cls));
  return AnyInAncestry(
      own, [&](TClass c) { return c == cls || ClassNameIs(c, id); }, 0);
}

bool InheritsFromAny(const void* object, std::initializer_list<TClass> classes) {
  for (TClass c : classes)
    if (InheritsFromClass(object, c)) return true;
  return false;
}

bool IsManageableObject(const void* object) {
  return IsValidObject(object) && !InheritsFromClassName(object, "EAbort");
}

bool IsLanguageException(const void* object) {
  return !InheritsFromClass(object, &typeid(EExternal));
}

void* UpcastObject(const void* object, TClass target) {
  TClass cls = ClassOfObject(object);
  if (!cls || !IsValidClass(target)) return nullptr;
  const void* const* vtable = nullptr;
  std::memcpy(&vtable, object, sizeof vtable);
  std::ptrdiff_t to_top = 0;
  std::memcpy(&to_top, vtable - 2, sizeof to_top);
  void* complete = const_cast<char*>(static_cast<const char*>(object)) + to_top;
  void* adjusted = complete;
  if (!cls->__do_upcast(static_cast<const abi::__class_type_info*>(target), &adjusted))
    return nullptr;
  return adjusted;
}

}  // namespace VCore

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
bool ReadTypeName(TClass cls, std::string* out) {
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
  if (out) out->assign(name, length);
  return true;
}

std::string Demangle(const std::string& mangled) {
  // Global classes are "<length><identifier>": no allocation needed.
  std::size_t digits = 0, length = 0;
  while (digits < mangled.size() && mangled[digits] >= '0' && mangled[digits] <= '9')
    length = length * 10 + (mangled[digits++] - '0');
  if (digits > 0 && digits + length == mangled.size()) return mangled.substr(digits);
  int status = 0;
  char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  if (!text || status != 0) {
    std::free(text);
    return mangled;
  }
  std::string result(text);
  std::free(text);
  return result;
}

void CollectAncestry(TClass cls, std::vector<TClass>& out, int depth) {
  if (depth > 64 || !IsValidClass(cls)) return;
  out.push_back(cls);
  const void* kind = VtableOf(cls);
  if (kind == VtableOf(&typeid(KindSingle))) {
    CollectAncestry(static_cast<const abi::__si_class_type_info*>(cls)->__base_type, out,
                    depth + 1);
  } else if (kind == VtableOf(&typeid(KindMultiple))) {
    const auto* vmi = static_cast<const abi::__vmi_class_type_info*>(cls);
    unsigned count = 0;
    if (!SafeRead(&vmi->__base_count, &count, sizeof count) || count > 256) return;
    if (!IsMemoryReadable(vmi->__base_info, count * sizeof(abi::__base_class_type_info))) return;
    for (unsigned i = 0; i < count; ++i)
      CollectAncestry(vmi->__base_info[i].__base_type, out, depth + 1);
  }
}

}  // namespace

std::string NormalisedClassName(std::string_view name) {
  std::size_t b = 0, e = name.size();
  while (b < e && static_cast<unsigned char>(name[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(name[e - 1]) <= ' ') --e;
  std::string out(name.substr(b, e - b));
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
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
  return IsMemoryReadable(cls, size) && ReadTypeName(cls, nullptr);
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
  std::string mangled;
  if (!IsValidClass(cls) || !ReadTypeName(cls, &mangled)) return {};
  // The runtime marks names of classes local to a unit with a leading '*'.
  if (!mangled.empty() && mangled[0] == '*') mangled.erase(0, 1);
  return Demangle(mangled);
}

std::vector<TClass> ClassAncestry(TClass cls) {
  std::vector<TClass> out;
  CollectAncestry(cls, out, 0);
  return out;
}

bool ClassInheritsFromName(TClass cls, std::string_view name) {
  const std::string wanted = NormalisedClassName(name);
  for (TClass c : ClassAncestry(cls))
    if (NormalisedClassName(ClassNameOf(c)) == wanted) return true;
  return false;
}

bool InheritsFromClassName(const void* object, std::string_view name) {
  TClass cls = ClassOfObject(object);
  return cls && ClassInheritsFromName(cls, name);
}

bool InheritsFromClass(const void* object, TClass cls) {
  return IsValidClass(cls) && InheritsFromClassName(object, ClassNameOf(cls));
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

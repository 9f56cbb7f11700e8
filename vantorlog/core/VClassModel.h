// The library's class model over the C++ runtime: a class is its std::type_info, its name the
// demangled type name, its ancestors the bases that __si_class_type_info and
// __vmi_class_type_info record. A pointer is a valid object when its vtable pointer is readable
// and vtable[-1] is a type_info whose own vtable is one of the runtime's class type_info
// vtables. Every read goes through the memory probes, so no query faults.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace VCore {

using TClass = const std::type_info*;

bool IsValidClass(TClass cls);
bool IsValidObject(const void* object);
// The dynamic class of a valid object; nullptr for anything else.
TClass ClassOfObject(const void* object);

// Demangled name ("Exception", "std::runtime_error"); empty for an invalid class.
std::string ClassNameOf(TClass cls);
// The class, then each base class depth-first in declaration order.
std::vector<TClass> ClassAncestry(TClass cls);

// Names are compared trimmed and upper-cased.
bool ClassInheritsFromName(TClass cls, std::string_view name);
bool InheritsFromClassName(const void* object, std::string_view name);
bool InheritsFromClass(const void* object, TClass cls);
bool InheritsFromAny(const void* object, std::initializer_list<TClass> classes);
// A valid object that does not descend by name from "EAbort".
bool IsManageableObject(const void* object);
// Not descended from EExternal (the class of exceptions that come from the OS).
bool IsLanguageException(const void* object);

// Pointer to the target sub-object of a valid object (the runtime's catch conversion), or null.
void* UpcastObject(const void* object, TClass target);
template <class T>
T* ObjectAs(const void* object) {
  return static_cast<T*>(UpcastObject(object, &typeid(T)));
}

// Trimmed, upper-cased (ASCII) text.
std::string NormalisedClassName(std::string_view name);

}  // namespace VCore

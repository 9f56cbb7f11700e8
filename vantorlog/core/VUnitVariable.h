// Library state that lives until the process ends. The leak report runs after every static
// destructor and still goes through the library's state, so these variables are never
// destroyed: before the leak check their values are emptied (the memory they hold goes back
// and is not counted as leaked), and they stay usable afterwards.
#pragma once

#include <new>
#include <utility>

namespace VCore {

class TUnitVariableBase {
 public:
  TUnitVariableBase(const TUnitVariableBase&) = delete;
  TUnitVariableBase& operator=(const TUnitVariableBase&) = delete;

 protected:
  TUnitVariableBase();
  // Trivial destructor on purpose: the object outlives static destruction.
  ~TUnitVariableBase() = default;

 private:
  friend void EmptyUnitVariables();
  virtual void Empty() = 0;
  TUnitVariableBase* next_;
};

// Empties every unit variable (each back to its first value); they stay usable.
void EmptyUnitVariables();

template <class T>
class TUnitVariable final : TUnitVariableBase {
 public:
  using TMake = T (*)();
  // `make` gives the first value (and the value after emptying); none: T().
  explicit TUnitVariable(TMake make = nullptr) : make_(make) {
    ::new (static_cast<void*>(storage_)) T(make ? make() : T());
  }
  T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &**this; }

 private:
  void Empty() override {
    T fresh = make_ ? make_() : T();
    using std::swap;
    swap(**this, fresh);
  }
  TMake make_;
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace VCore

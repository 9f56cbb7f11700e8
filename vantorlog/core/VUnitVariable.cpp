#include "VUnitVariable.h"

#include <atomic>

namespace VCore {
namespace {

// Constant-initialized: variables of every translation unit may register during static
// construction, in any order; function-local ones register on first use, from any thread.
std::atomic<TUnitVariableBase*> g_first{nullptr};

}  // namespace

TUnitVariableBase::TUnitVariableBase() : next_(g_first.load()) {
  while (!g_first.compare_exchange_weak(next_, this)) {
  }
}

void EmptyUnitVariables() {
  for (TUnitVariableBase* v = g_first.load(); v; v = v->next_) v->Empty();
}

}  // namespace VCore

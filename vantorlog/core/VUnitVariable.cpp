#include "VUnitVariable.h"

namespace VCore {
namespace {

// Constant-initialized: variables of every translation unit may register during static
// construction, in any order.
TUnitVariableBase* g_first = nullptr;

}  // namespace

TUnitVariableBase::TUnitVariableBase() : next_(g_first) { g_first = this; }

void EmptyUnitVariables() {
  for (TUnitVariableBase* v = g_first; v; v = v->next_) v->Empty();
}

}  // namespace VCore

#include "module/module_state.h"

namespace module {

namespace {
constinit ModuleState g_state;
}  // namespace

ModuleState& State() { return g_state; }

}  // namespace module

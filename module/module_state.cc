#include "module/module_state.h"

namespace module {

namespace {
constinit ModuleState g_state;
}  // namespace

ModuleState& State() { return g_state; }

namespace internal {
constinit thread_local settings::CSettings* request_catalogue
    __attribute__((tls_model("initial-exec"))) = nullptr;
constinit thread_local std::shared_ptr<settings::CSettings>* request_hold
    __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace internal

}  // namespace module

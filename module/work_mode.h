// Work modes: how the module is told to run without the product's services.
//
// The mode lives in key work_mode_val of section General of php-cvwwwui.ini, in the
// folder of the host executable: "2" is No Service Check Mode, "3" Demo Mode, anything
// else normal work.
//
// Thread safety: ReadWorkMode runs once, at module start-up, before any request.
#ifndef MODULE_WORK_MODE_H_
#define MODULE_WORK_MODE_H_

#include <string>

namespace module {

inline constexpr const char* kWorkModeIniName = "php-cvwwwui.ini";

// The full path of php-cvwwwui.ini beside the host executable; empty when the
// executable's path cannot be found.
std::string WorkModeIniPath();

// Reads the work mode and sets the module state's flags, tracing the mode it found.
void ReadWorkMode();

}  // namespace module

#endif  // MODULE_WORK_MODE_H_

#include <windows.h>

#include <cstdint>

#include "standins/wire/unique_fd.h"

namespace wire {

void CloseHandleValue(int handle) { CloseHandle(reinterpret_cast<HANDLE>(intptr_t{handle})); }

}  // namespace wire

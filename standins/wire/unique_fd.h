// The stand-ins' descriptor owner is the OS port's.
#ifndef STANDINS_WIRE_UNIQUE_FD_H_
#define STANDINS_WIRE_UNIQUE_FD_H_

#include "platform/unique_fd.h"

namespace wire {

using platform::UniqueFd;

}  // namespace wire

#endif  // STANDINS_WIRE_UNIQUE_FD_H_

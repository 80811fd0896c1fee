#pragma once

#include <sys/types.h>

namespace halvex::platform {

// A process that has ended but was not reaped yet (it still answers kill(pid, 0) and lists in /proc).
bool isZombie(pid_t pid);

}  // namespace halvex::platform

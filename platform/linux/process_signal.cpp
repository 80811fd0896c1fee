#include "platform/process_signal.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace halvex::platform {

ProcessID currentProcessID() {
    return ::getpid();
}

bool processExists(ProcessID pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

bool signalProcess(ProcessID pid, ProcessSignal signal) {
    return pid > 0 && ::kill(pid, signal == ProcessSignal::kill ? SIGKILL : SIGTERM) == 0;
}

}  // namespace halvex::platform

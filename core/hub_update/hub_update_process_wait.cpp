#include "core/hub_update/hub_update_process_wait.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "core/foundation/halvex_error.h"
#include "core/foundation/interruptible_sleep.h"
#include "platform/process_state.h"

namespace halvex {

void HubUpdateProcessWait::waitForExit(pid_t pid, std::stop_token stop, std::chrono::milliseconds interval,
                                       int probes) {
    if (pid < 2 || pid == ::getpid()) throw HalvexError::invalidResponse();
    for (int slept = 0;;) {
        // An ended process that nobody reaped yet is gone for this purpose.
        if ((::kill(pid, 0) != 0 && errno != EPERM) || platform::isZombie(pid)) return;
        sleepFor(interval, stop);
        if (++slept >= probes) {
            throw HalvexError::backgroundService(
                "The HUB is still open. Its update was cancelled; please try again.");
        }
    }
}

}  // namespace halvex

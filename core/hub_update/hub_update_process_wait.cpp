#include "core/hub_update/hub_update_process_wait.h"

#include "core/foundation/halvex_error.h"
#include "core/foundation/interruptible_sleep.h"
#include "platform/process_list.h"

namespace halvex {

bool HubUpdateProcessWait::isValidParent(platform::ProcessID pid) {
    return pid >= 2 && pid != platform::currentProcessID();
}

HalvexError HubUpdateProcessWait::invalidParent() {
    return HalvexError::backgroundService("The HUB update was started with an invalid process ID.");
}

void HubUpdateProcessWait::waitForExit(platform::ProcessID pid, std::stop_token stop,
                                       std::chrono::milliseconds interval, int probes) {
    if (!isValidParent(pid)) throw invalidParent();
    for (int slept = 0;;) {
        // An ended process that nobody reaped yet is gone for this purpose.
        if (!platform::processExists(pid) || platform::isZombie(pid)) return;
        sleepFor(interval, stop);
        if (++slept >= probes) {
            throw HalvexError::backgroundService(
                "The HUB is still open. Its update was cancelled; please try again.");
        }
    }
}

}  // namespace halvex

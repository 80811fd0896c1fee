#pragma once

#include <chrono>
#include <stop_token>

#include "platform/process_signal.h"

namespace halvex {

class HalvexError;

struct HubUpdateProcessWait {
    // A window process the finisher may wait for: neither init, nor a non-positive id, nor itself.
    static bool isValidParent(platform::ProcessID pid);
    // The error for a process id that is no valid window process.
    static HalvexError invalidParent();

    // Returns once `pid` no longer exists (a process that cannot be signalled still counts as running).
    // Probes every `interval`, at most `probes` times, then fails with the still-open message.
    static void waitForExit(platform::ProcessID pid, std::stop_token stop = {},
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200),
                            int probes = 150);
};

}  // namespace halvex

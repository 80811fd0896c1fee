#pragma once

#include <chrono>
#include <stop_token>

#include "platform/process_signal.h"

namespace halvex {

struct HubUpdateProcessWait {
    // Returns once `pid` no longer exists (a process that cannot be signalled still counts as running).
    // Probes every `interval`, at most `probes` times, then fails with the still-open message.
    static void waitForExit(platform::ProcessID pid, std::stop_token stop = {},
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200),
                            int probes = 150);
};

}  // namespace halvex

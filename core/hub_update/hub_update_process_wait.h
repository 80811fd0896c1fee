#pragma once

#include <sys/types.h>

#include <chrono>
#include <stop_token>

namespace halvex {

struct HubUpdateProcessWait {
    // Returns once `pid` no longer exists (a process that cannot be signalled still counts as running).
    // Probes every `interval`, at most `probes` times, then fails with the still-open message.
    static void waitForExit(pid_t pid, std::stop_token stop = {},
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200),
                            int probes = 150);
};

}  // namespace halvex

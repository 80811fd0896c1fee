#pragma once

// The hand-off of a prepared hub update from the window to a finishing process of the same executable,
// and the finishing step itself: wait for the window to exit, install under the update lock, re-register
// the agent and open the new version.
//
// Protocol: the window starts "<executable> --finish-hub-update <ticket> <window pid>" with its standard
// output on a pipe; the finisher writes "ready\n" once the prepared update validates; the window then
// terminates. Either side gives up after 30 seconds.
//
// Threads: handOff is called on the window's main thread and blocks it until the finisher answers (at
// most the timeout); finish is the finishing process's main thread.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "core/hub_update/hub_updater.h"

namespace halvex::app {

struct HubUpdateRestart {
    struct HandOffOptions {
        std::filesystem::path executable;  // default: the running executable
        std::chrono::milliseconds timeout = std::chrono::seconds(30);
    };

    // Starts the finisher and, once it is ready, calls `terminate` (the window's quit request). Returns only
    // by throwing: HalvexError::backgroundService when the finisher did not become ready or the window
    // refused to quit.
    static void handOff(const std::string& ticket, const std::function<void()>& terminate,
                        HandOffOptions options);
    static void handOff(const std::string& ticket, const std::function<void()>& terminate) {
        handOff(ticket, terminate, HandOffOptions{});
    }

    struct FinishEnvironment {
        // Builds the updater (default: from the running bundle, its configuration and the keychain).
        std::function<std::shared_ptr<HubUpdater>()> makeUpdater;
        std::function<void()> reRegisterAgent;  // default: the background service controller's
        std::function<void()> reopen;           // default: start the installed bundle's executable
        std::ostream* output = nullptr;         // where "ready" goes; default: standard output
        std::chrono::milliseconds exitProbeInterval = std::chrono::milliseconds(200);
    };
    // The finishing process; returns its exit status (0 on success, 1 on any failure).
    static int finish(const std::string& ticket, pid_t parentPID, FinishEnvironment environment);
    static int finish(const std::string& ticket, pid_t parentPID) {
        return finish(ticket, parentPID, FinishEnvironment{});
    }
};

}  // namespace halvex::app

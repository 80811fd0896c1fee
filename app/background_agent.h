#pragma once

// The background agent: keeps the hub and the installed plugins current while no window is open. Two
// loops run concurrently: a cycle (hub update, sign-in, catalogue, plugin updates, one status record)
// every 10 minutes when something waits for a retry and every 6 hours otherwise, and a 0.25-second loop
// that finishes plugin updates staged while an audio host ran. No error ends the agent; each becomes a
// status record and a retry. Both loops end when the stop token is triggered.
//
// Threads: runForever runs the cycle on the calling thread and the staged loop on a thread of its own,
// so the two loops call the library environment's functions (configuration, keychain, folders, host query)
// concurrently; whatever a test puts there must allow that. runOnce and finishPreparedUpdates may each
// be called from one thread at a time; hubUpdateInstalled from any thread.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/background_agent_status.h"
#include "app/library/library_service.h"

namespace halvex::app {

class BackgroundAgent {
  public:
    struct Timings {
        std::chrono::duration<double> retry = std::chrono::seconds(600);
        std::chrono::duration<double> idle = std::chrono::seconds(21600);
        std::chrono::duration<double> stagedPoll = std::chrono::milliseconds(250);
    };

    // Everything the agent finds on its own, replaceable for tests.
    struct Environment {
        // The core objects: each cycle and the staged loop build their own library service from it.
        LibraryService::Environment library;
        std::function<void()> reRegisterAfterUpdate;  // default: the background service controller's
        BackgroundAgentStatusStore statusStore;
        Timings timings;
    };

    static constexpr const char* retryMessage = "Automatic updates will retry in the background.";
    static constexpr const char* signInMessage =
        "Automatic updates are active. Open HALVEX HUB once to sign in.";
    static constexpr const char* pendingRetryMessage =
        "Automatic updates are active. A pending update will retry after the DAW closes or initial setup is "
        "completed.";
    static constexpr const char* allCurrentMessage =
        "Automatic updates are active. Your plugins are up to date.";
    static constexpr const char* hubRetryMessage = "The HALVEX HUB update will be tried again shortly.";

    explicit BackgroundAgent(Environment environment);

    // Runs both loops until `stop` is triggered, or until a hub update was installed (then returns true:
    // the caller releases the agent lock, calls reRegisterAfterUpdate and ends the process, so that the
    // agent of the new bundle takes over).
    bool runForever(std::stop_token stop);
    // Registers and starts the agent of the installed bundle found at construction.
    void reRegisterAfterUpdate() const;
    // One cycle; returns the wait before the next one.
    std::chrono::duration<double> runOnce(std::stop_token stop = {});
    void finishPreparedUpdates(std::stop_token stop);

    bool hubUpdateInstalled() const { return hubUpdateInstalled_.load(); }

  private:
    void write(const std::string& message, const std::optional<std::string>& error) const;
    // Installs the due updates the rules allow; true when one waits or failed (the cycle then retries
    // sooner). The first unexpected failure's text goes to `firstError` unless it holds one already.
    bool updatePlugins(LibraryService& library, const Catalog& catalog, std::stop_token stop,
                       std::optional<std::string>& firstError);

    Environment environment_;
    std::atomic<bool> hubUpdateInstalled_ = false;
    // Held by either loop while it does installer work, so that the agent's two loops never meet each
    // other's update lock (which would turn the cycle's installation into a retry).
    std::mutex installerWork_;
};

}  // namespace halvex::app

#pragma once

// One window per user. The window process holds an exclusive lock on <folder>/window.lock and listens on
// <folder>/window.socket (folder: $XDG_RUNTIME_DIR/com.halvex.hub, private to the user). A later start
// finds the lock taken, asks the holder over the socket to raise its window, and ends. The lock goes with
// the process, so after a crash the next start takes the lock and replaces the socket left behind. Only the
// window claims it: the agent and finishing modes never look at it.
//
// `claim` runs on the window's main thread before the window exists. The raise handler runs on the guard's
// own thread, one request at a time; a window hands the request to its main thread from there.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/file_io.h"

namespace halvex::app {

class SingleWindowGuard {
  public:
    // Receives the activation token of the start that asked (empty when it had none), so that the window
    // may take the focus on desktops that refuse focus to windows raising themselves unasked.
    using RaiseHandler = std::function<void(const std::string& activationToken)>;

    struct Timing {
        std::chrono::milliseconds connect{2000};  // a fresh holder may not listen yet
        std::chrono::milliseconds answer{5000};
    };

    struct Claim {
        enum class Other { none, raised, unresponsive };
        std::unique_ptr<SingleWindowGuard> guard;  // set: this process is the window
        Other other = Other::none;                 // what became of the window already open
    };

    // Becomes the window, or asks the open one to raise itself. Throws std::system_error when `folder`
    // cannot be made private to this user or the socket cannot be set up.
    static Claim claim(const std::filesystem::path& folder, RaiseHandler onRaise,
                       const std::string& activationToken, Timing timing);
    static Claim claim(const std::filesystem::path& folder, RaiseHandler onRaise,
                       const std::string& activationToken = {});
    // com.halvex.hub in the session's runtime folder (the demo hub's own below its root); absent when the
    // session has no runtime folder.
    static std::optional<std::filesystem::path> standardFolder();

    ~SingleWindowGuard();
    SingleWindowGuard(const SingleWindowGuard&) = delete;
    SingleWindowGuard& operator=(const SingleWindowGuard&) = delete;

  private:
    SingleWindowGuard(platform::UniqueFd lock, platform::UniqueFd listener, std::filesystem::path socket,
                      RaiseHandler onRaise);
    void serve(std::stop_token stop);

    platform::UniqueFd lock_;
    platform::UniqueFd listener_;
    platform::UniqueFd wakeUp_;
    std::filesystem::path socket_;
    RaiseHandler onRaise_;
    std::jthread server_;
};

}  // namespace halvex::app

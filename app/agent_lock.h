#pragma once

// The background agent's single-instance lock: "agent.lock" in the installer's folder, held with flock
// for the agent's whole life, with the holder's pid written inside.

#include <sys/types.h>

#include <filesystem>
#include <optional>

#include "platform/file_io.h"

namespace halvex::app {

class AgentLock {
  public:
    // The lock, or absent when another process holds it.
    static std::optional<AgentLock> tryAcquire(const std::filesystem::path& folder);
    // The pid of the process holding the lock, if any holds it.
    static std::optional<pid_t> holder(const std::filesystem::path& folder);

    static std::filesystem::path path(const std::filesystem::path& folder) { return folder / "agent.lock"; }

  private:
    explicit AgentLock(platform::UniqueFd fd) : fd_(std::move(fd)) {}
    platform::UniqueFd fd_;
};

}  // namespace halvex::app

#pragma once

// The background agent's single-instance lock: "agent.lock" in the installer's folder, held for the
// agent's whole life, with the holder's pid written inside. Any thread may ask for the holder; the agent
// process takes the lock once on its main thread.

#include <filesystem>
#include <optional>

#include "platform/file_lock.h"
#include "platform/process_signal.h"

namespace halvex::app {

class AgentLock {
  public:
    // The lock, or absent when another process holds it.
    static std::optional<AgentLock> tryAcquire(const std::filesystem::path& folder);
    // The pid of the process holding the lock, if any holds it.
    static std::optional<platform::ProcessID> holder(const std::filesystem::path& folder);

    static std::filesystem::path path(const std::filesystem::path& folder) { return folder / "agent.lock"; }

  private:
    explicit AgentLock(platform::FileLock lock) : lock_(std::move(lock)) {}
    platform::FileLock lock_;
};

}  // namespace halvex::app

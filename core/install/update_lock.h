#pragma once

// The one cross-process lock of the system: whoever writes plugin bundles or replaces the application
// holds it for the whole operation. Acquisition never waits: a second holder fails at once.
// The lock is tied to the open file description, so it also excludes a second lock in the same process,
// and the kernel drops it when the holding process dies.

#include <filesystem>
#include <optional>

#include "platform/file_lock.h"

namespace halvex {

class UpdateLock {
  public:
    // Creates `applicationSupport` if needed and locks its "update.lock". Throws the file-system error of
    // the folder creation unchanged, HalvexError::invalidPackage("The HALVEX update lock could not be
    // opened.") when the file cannot be opened, and HalvexError::updateInProgress when it is held.
    explicit UpdateLock(const std::filesystem::path& applicationSupport);

    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

  private:
    std::optional<platform::FileLock> lock_;
};

}  // namespace halvex

#include "core/install/update_lock.h"

#include <system_error>

#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"

namespace halvex {

UpdateLock::UpdateLock(const std::filesystem::path& applicationSupport) {
    platform::createDirectories(applicationSupport, 0700);
    try {
        lock_ = platform::FileLock::tryLock(applicationSupport / "update.lock",
                                            platform::FileLock::Mode::exclusive);
    } catch (const std::system_error&) {
        throw HalvexError::invalidPackage("The HALVEX update lock could not be opened.");
    }
    if (!lock_) throw HalvexError::updateInProgress();
}

}  // namespace halvex

#include "core/install/update_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include "core/foundation/halvex_error.h"

namespace halvex {

UpdateLock::UpdateLock(const std::filesystem::path& applicationSupport) {
    std::filesystem::create_directories(applicationSupport);
    const auto path = applicationSupport / "update.lock";
    // Close-on-exec: a helper process started while the lock is held must not keep it alive.
    platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) throw HalvexError::invalidPackage("The HALVEX update lock could not be opened.");
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) throw HalvexError::updateInProgress();
    fd_ = std::move(fd);
}

UpdateLock::~UpdateLock() {
    if (fd_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace halvex

#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

namespace halvex::platform {

std::optional<FileLock> FileLock::tryLock(const std::filesystem::path& path, Mode mode, Open open) {
    // Close-on-exec: a program started while the lock is held must not keep it alive.
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    if (open == Open::createIfMissing) flags |= O_CREAT;
    UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (!fd) throwErrno("open " + path.string());
    if (::flock(fd.get(), (mode == Mode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return std::nullopt;
        throwErrno("lock " + path.string());
    }
    return FileLock(fd.release(), path);
}

void FileLock::replaceContents(std::string_view bytes) {
    if (::ftruncate(fd_, 0) != 0) throwErrno("write " + path_.string());
    for (off_t offset = 0; !bytes.empty();) {
        const ssize_t count = ::pwrite(fd_, bytes.data(), bytes.size(), offset);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throwErrno("write " + path_.string());
        bytes.remove_prefix(static_cast<std::size_t>(count));
        offset += count;
    }
}

std::string FileLock::contents(std::size_t maximumBytes) const {
    if (::lseek(fd_, 0, SEEK_SET) < 0) throwErrno("seek " + path_.string());
    return readDescriptor(fd_, maximumBytes, path_.string());
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    // Closing the only descriptor of the open file releases its lock.
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> heldLockContents(const std::filesystem::path& path, std::size_t maximumBytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    // A shared lock is granted exactly when nobody holds the exclusive one.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;
    try {
        return readDescriptor(fd.get(), maximumBytes, path.string());
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

}  // namespace halvex::platform

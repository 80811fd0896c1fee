#include "app/agent_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <charconv>
#include <string>

namespace halvex::app {

std::optional<AgentLock> AgentLock::tryAcquire(const std::filesystem::path& folder) {
    platform::createDirectories(folder, 0700);
    platform::UniqueFd fd(::open(path(folder).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) platform::throwErrno("open " + path(folder).string());
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
        platform::throwErrno("write " + path(folder).string());
    }
    return AgentLock(std::move(fd));
}

std::optional<pid_t> AgentLock::holder(const std::filesystem::path& folder) {
    platform::UniqueFd fd(::open(path(folder).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    // A shared lock is granted exactly when no agent holds the exclusive one.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;
    char text[32] = {};
    const ssize_t count = ::pread(fd.get(), text, sizeof text - 1, 0);
    pid_t pid = 0;
    if (count <= 0 || std::from_chars(text, text + count, pid).ec != std::errc() || pid < 1)
        return std::nullopt;
    return pid;
}

}  // namespace halvex::app

#include "app/agent_lock.h"

#include <charconv>
#include <string>

#include "platform/file_io.h"

namespace halvex::app {

std::optional<AgentLock> AgentLock::tryAcquire(const std::filesystem::path& folder) {
    platform::createDirectories(folder, 0700);
    auto lock = platform::FileLock::tryLock(path(folder), platform::FileLock::Mode::exclusive);
    if (!lock) return std::nullopt;
    lock->replaceContents(std::to_string(platform::currentProcessID()) + "\n");
    return AgentLock(std::move(*lock));
}

std::optional<platform::ProcessID> AgentLock::holder(const std::filesystem::path& folder) {
    const auto text = platform::heldLockContents(path(folder), 31);
    if (!text) return std::nullopt;
    platform::ProcessID pid = 0;
    if (std::from_chars(text->data(), text->data() + text->size(), pid).ec != std::errc() || pid < 1)
        return std::nullopt;
    return pid;
}

}  // namespace halvex::app

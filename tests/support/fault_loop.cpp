#include "tests/support/fault_loop.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <system_error>

#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace halvex::test {

namespace {

int faultAt = 0;
int operations = 0;
int faultErrno = 0;

void killAtTarget(platform::FileOperation, const std::filesystem::path&) {
    if (++operations == faultAt) ::kill(::getpid(), SIGKILL);
}

void failAtTarget(platform::FileOperation, const std::filesystem::path& path) {
    if (++operations == faultAt) throw std::system_error(faultErrno, std::generic_category(), path.string());
}

}  // namespace

KilledRun runKilledAt(int point, const std::function<void()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        faultAt = point;
        operations = 0;
        platform::setFaultHook(killAtTarget);
        try {
            work();
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return KilledRun::killed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? KilledRun::completed : KilledRun::failed;
}

std::optional<int> recoverThroughKills(const std::function<void()>& recovery) {
    for (int point = 1;; ++point) {
        const auto run = runKilledAt(point, recovery);
        if (run == KilledRun::completed) return point - 1;
        if (run == KilledRun::failed) return std::nullopt;
    }
}

FailingOperation::FailingOperation(int point, int error) {
    faultAt = point;
    operations = 0;
    faultErrno = error;
    platform::setFaultHook(failAtTarget);
}

FailingOperation::~FailingOperation() {
    platform::setFaultHook(nullptr);
}

bool FailingOperation::reached() const {
    return operations >= faultAt;
}

namespace {

// Adds every item below `root`, keyed by its path relative to `base`.
void addTree(std::map<std::string, std::string>& items, const std::filesystem::path& root,
             const std::filesystem::path& base) {
    if (!std::filesystem::exists(root)) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const auto key = entry.path().lexically_relative(base).string();
        if (entry.is_symlink()) {
            items[key] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            items[key] = platform::sha256Hex(platform::readFile(entry.path(), 1 << 26));
        } else {
            items[key] = "folder";
        }
    }
}

}  // namespace

std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> items;
    addTree(items, root, root);
    return items;
}

std::map<std::string, std::string> treeSnapshot(const std::vector<std::filesystem::path>& roots) {
    std::map<std::string, std::string> items;
    for (const auto& root : roots) addTree(items, root, "/");
    return items;
}

std::vector<std::string> hiddenItems(const std::filesystem::path& root) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(root)) return names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().starts_with(".")) names.push_back(entry.path().string());
    }
    return names;
}

}  // namespace halvex::test

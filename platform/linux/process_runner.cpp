#include "platform/process_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

#include "platform/file_io.h"

namespace halvex::platform {

namespace {

constexpr std::size_t keptErrorBytes = 1024 * 1024;

}  // namespace

ToolResult runTool(const std::filesystem::path& tool, const std::vector<std::string>& arguments) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    std::vector<std::string> strings = {tool.string()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : strings) argv.push_back(text.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    // The tool starts with no signal blocked or ignored, whatever the caller's thread blocks: an
    // administrator prompt must still end on Ctrl-C.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, tool.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throwErrno(error, "start " + tool.string());
    writeEnd.reset();

    ToolResult result;
    char buffer[16 * 1024];
    while (true) {
        const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        const auto room = keptErrorBytes - std::min(keptErrorBytes, result.standardError.size());
        result.standardError.append(buffer, std::min(room, static_cast<std::size_t>(count)));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throwErrno("wait " + tool.string());
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace halvex::platform

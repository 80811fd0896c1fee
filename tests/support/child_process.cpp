#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace halvex::test {

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* separator = std::strchr(*entry, '=');
        if (separator == nullptr) continue;
        merged.emplace(std::string(*entry, static_cast<std::size_t>(separator - *entry)), separator + 1);
    }
    for (const auto& [name, value] : extra) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

int decodedStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

pid_t spawn(std::vector<std::string> arguments, const std::map<std::string, std::string>& extra,
            posix_spawn_file_actions_t* actions) {
    auto environment = environmentWith(extra);
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), envp.data());
    if (error != 0) throw std::system_error(error, std::generic_category(), "spawn " + arguments[0]);
    return pid;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& extra, std::chrono::milliseconds timeout) {
    Pipe output;
    Pipe errors;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output.write, 1);
    posix_spawn_file_actions_adddup2(&actions, errors.write, 2);
    const pid_t pid = spawn(arguments, extra, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output.write);
    output.write = -1;
    ::close(errors.write);
    errors.write = -1;

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{output.read, POLLIN, 0}, {errors.read, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int index = 0; index < 2; ++index) {
            if (fds[index].fd < 0 || (fds[index].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            const ssize_t count = ::read(fds[index].fd, buffer, sizeof buffer);
            if (count <= 0) {
                fds[index].fd = -1;
                --open;
            } else {
                (index == 0 ? result.standardOutput : result.standardError)
                    .append(buffer, static_cast<std::size_t>(count));
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = decodedStatus(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& extra,
                           std::optional<std::string> standardInput, std::optional<std::string> outputFile) {
    std::optional<Pipe> input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (standardInput) {
        input.emplace();
        posix_spawn_file_actions_adddup2(&actions, input->read, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    const std::string output = outputFile.value_or("/dev/null");
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_ = spawn(arguments, extra, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (input) {
        ::close(input->read);
        input->read = -1;
        std::string_view bytes = *standardInput;
        while (!bytes.empty()) {
            const ssize_t count = ::write(input->write, bytes.data(), bytes.size());
            if (count <= 0) break;
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) stop(SIGKILL);
}

bool ChildProcess::running() {
    if (status_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decodedStatus(status);
        return false;
    }
    return true;
}

int ChildProcess::stop(int signal) {
    if (status_) return *status_;
    ::kill(pid_, signal);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = decodedStatus(status);
    return *status_;
}

}  // namespace halvex::test

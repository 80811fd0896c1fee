#include "platform/detached_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/file_io.h"

namespace halvex::platform {

void startDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
    // Everything the children need is prepared before fork: between fork and exec only async-signal-safe
    // calls are allowed in a threaded process.
    std::vector<std::string> strings = {executable.string()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : strings) argv.push_back(text.data());
    argv.push_back(nullptr);
    const std::string path = executable.string();
    sigset_t noSignals;
    sigemptyset(&noSignals);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throwErrno("pipe");
    UniqueFd readEnd(report[0]);
    UniqueFd writeEnd(report[1]);

    const pid_t middle = ::fork();
    if (middle < 0) throwErrno("fork");
    if (middle == 0) {
        ::setsid();
        const pid_t program = ::fork();
        if (program != 0) ::_exit(program < 0 ? 1 : 0);
        // A starter that blocks or ignores signals (halvexctl waits for SIGINT and SIGTERM on a thread of
        // its own) must not hand that on: the program has to end when it is told to.
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaultAction, nullptr);
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execv(path.c_str(), argv.data());
        const int error = errno;
        (void)!::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes on a successful exec; an errno arrives when exec failed.
    int error = 0;
    ssize_t count;
    while ((count = ::read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (count == static_cast<ssize_t>(sizeof error)) throwErrno(error, "start " + path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throwErrno(ECHILD, "start " + path);
}

}  // namespace halvex::platform

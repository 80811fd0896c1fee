#pragma once

// Runs a program with an argument vector (never a shell string) for tests: captures stdout and stderr,
// optionally feeds stdin, and is killed and reaped on every path out.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvex::test {

struct ProcessResult {
    int exitStatus = -1;  // the exit code, or 128 + signal when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

// Runs to completion (killed after `timeout`) with the current environment plus `extraEnvironment`.
ProcessResult runProcess(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& extraEnvironment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

class ChildProcess {
  public:
    // Starts in the background; output goes to `outputFile` when given, else to /dev/null.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& extraEnvironment,
                 std::optional<std::string> standardInput = std::nullopt,
                 std::optional<std::string> outputFile = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `signal` and waits for the process to end; returns its status as runProcess reports it.
    int stop(int signal = 15);
    bool running();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace halvex::test

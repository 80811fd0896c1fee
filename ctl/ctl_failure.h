#pragma once

// A condition halvexctl itself detects (not signed in, an unknown or ambiguous product), with the exit
// code it ends with. Any thread.

#include <stdexcept>
#include <string>

namespace halvex::ctl {

enum class ExitCode;

class CtlFailure : public std::runtime_error {
  public:
    CtlFailure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

  private:
    ExitCode code_;
};

}  // namespace halvex::ctl

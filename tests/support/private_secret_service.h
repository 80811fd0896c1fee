#pragma once

// A private D-Bus session with a real gnome-keyring-daemon offering the Secret Service, for tests.
// The constructor points this process's DBUS_SESSION_BUS_ADDRESS at it, so it must exist before anything
// in the process first talks to the session bus. Everything it started is stopped, and the variable
// restored, at destruction.

#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temporary_directory.h"

namespace halvex::test {

class PrivateSecretService {
  public:
    PrivateSecretService();
    ~PrivateSecretService();

  private:
    TemporaryDirectory folder_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> keyring_;
    std::unique_ptr<ScopedEnvironment> environment_;
};

}  // namespace halvex::test

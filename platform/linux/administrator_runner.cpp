#include "platform/administrator_runner.h"

#include <unistd.h>

#include "platform/process_runner.h"

namespace halvex::platform {

AdministratorResult runAsAdministrator(const std::string& command) {
    const auto result = runTool("/usr/bin/pkexec", {"/bin/sh", "-c", command});
    return {result.exitStatus, result.standardError};
}

UserAndGroup currentUserAndGroup() {
    return {::getuid(), ::getgid()};
}

}  // namespace halvex::platform

#pragma once

// Running a fixed shell command with administrator rights, after the system's own prompt. Any thread
// may call these; the prompt blocks the caller until the user answers.

#include <string>

namespace halvex::platform {

struct AdministratorResult {
    int exitStatus = 0;
    std::string standardError;
};

// Runs `/bin/sh -c <command>` through pkexec. Its "dismissed" (126) and "not authorised" (127) exits mean
// the user cancelled. Throws std::system_error when the prompt cannot be started.
AdministratorResult runAsAdministrator(const std::string& command);

// The numeric user and group the process runs as, for commands that hand a created item over to it.
struct UserAndGroup {
    unsigned user = 0;
    unsigned group = 0;
};
UserAndGroup currentUserAndGroup();

}  // namespace halvex::platform

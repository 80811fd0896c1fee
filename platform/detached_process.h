#pragma once

// Starts a program that outlives its starter: its own session, standard streams on /dev/null, no signal
// blocked or ignored whatever the starter blocks, and no zombie left behind (it is reparented at once).

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace halvex::platform {

// Throws std::system_error when the program cannot be started.
void startDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

}  // namespace halvex::platform

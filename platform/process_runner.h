#pragma once

// Starts a program with an argument vector (never through a shell) and waits for it. The program starts
// with no signal blocked or ignored, whatever the calling thread blocks.

#include <filesystem>
#include <string>
#include <vector>

namespace halvex::platform {

struct ToolResult {
    int exitStatus = -1;  // the exit code, or 128 + the signal that ended it
    std::string standardError;
};

// Standard output is inherited; standard error is read to its end (at most 1 MiB kept) before waiting,
// so a chatty tool cannot block on a full pipe. Failing to start throws std::system_error.
ToolResult runTool(const std::filesystem::path& tool, const std::vector<std::string>& arguments);

}  // namespace halvex::platform

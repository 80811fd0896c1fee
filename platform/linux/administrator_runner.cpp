#include "platform/administrator_runner.h"

#include <unistd.h>

#include <stdexcept>
#include <vector>

#include "platform/process_runner.h"

namespace halvex::platform {

namespace {

// The folder, user and group are the script's arguments $1, $2 and $3.
constexpr const char* creationScript =
    "/usr/bin/test ! -e \"$1\" && /usr/bin/install -d -o \"$2\" -g \"$3\" -m 0755 \"$1\"";

}  // namespace

AdministratorResult createFolderAsAdministrator(const std::filesystem::path& folder,
                                                const std::filesystem::path& elevator) {
    if (!folder.is_absolute()) throw std::invalid_argument("not an absolute folder: " + folder.string());
    std::vector<std::string> arguments = {
        "-c", creationScript, "sh", folder.string(), std::to_string(::getuid()), std::to_string(::getgid())};
    if (!elevator.empty()) arguments.insert(arguments.begin(), "/bin/sh");
    const auto result = runTool(elevator.empty() ? std::filesystem::path("/bin/sh") : elevator, arguments);
    return {result.exitStatus, result.standardError};
}

}  // namespace halvex::platform

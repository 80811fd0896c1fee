#pragma once

// Creating a folder with administrator rights, after the system's own prompt. Any thread may call it; the
// prompt blocks the caller until the user answers.

#include <filesystem>
#include <string>

namespace halvex::platform {

struct AdministratorResult {
    int exitStatus = 0;
    std::string standardError;
};

// Creates `folder`, owned by this process's user and group with mode 0755, unless anything is at that path
// already (an existing item is never touched: the result is then a failure). The steps run with the rights
// that `elevator` raises to (pkexec by default; its "dismissed" (126) and "not authorised" (127) exits mean
// the user cancelled); an empty `elevator` runs them with this process's own rights, as they would run
// after approval. The folder travels as an argument, never inside the command text. Throws
// std::invalid_argument for a folder that is not absolute and std::system_error when the steps cannot start.
AdministratorResult createFolderAsAdministrator(const std::filesystem::path& folder,
                                                const std::filesystem::path& elevator = "/usr/bin/pkexec");

}  // namespace halvex::platform

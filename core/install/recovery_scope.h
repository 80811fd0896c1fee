#pragma once

// The folders a journalled transaction may change, and so the only ones recovery may touch.

#include <filesystem>
#include <vector>

namespace halvex {

// The hub's data folder, the plugin folders and the folder its application sits in, as the platform
// defines them, plus `own`: the folders a component was given in their place.
std::vector<std::filesystem::path> recoveryScope(std::vector<std::filesystem::path> own);

}  // namespace halvex

#pragma once

// The folders recovery may touch, and the work files it removes from the hub's own folder.

#include <filesystem>
#include <vector>

namespace halvex {

// The folders a journalled transaction may change: the hub's data folder, the plugin folders and the
// folder its application sits in, as the platform defines them, plus `own`: the folders a component was
// given in their place.
std::vector<std::filesystem::path> recoveryScope(std::vector<std::filesystem::path> own);

// Removes what killed atomic writes left in the hub's data folder and the folders below it (receipts,
// holds, pending records, the status file, the file keychain, hub update tickets): temporary files that no
// live writer holds.
void removeAbandonedTemporaryFiles(const std::filesystem::path& applicationSupport);

}  // namespace halvex

#pragma once

// The ZIP of a bundle that an installation is about to replace, kept for manual recovery. Any thread may
// call it; callers serialise writes of one archive through the update lock.

#include <filesystem>

namespace halvex {

// Writes a ZIP of `bundle` (its own folder at the top) to `zip`, replacing an older archive there. The
// archive is written under a hidden name and renamed, so a failure never leaves half an archive. Archive
// failures are HalvexError::invalidPackage("Update tool failed: " + reason); file-system errors as they are.
void writeRollbackArchive(const std::filesystem::path& bundle, const std::filesystem::path& zip);

}  // namespace halvex

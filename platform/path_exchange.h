#pragma once

// Exchanges two existing items (files, folders or links) in the same folder or file system, so that each
// path names the other's former item. Any thread may call it.

#include <filesystem>

namespace halvex::platform {

enum class ExchangeMethod {
    // One atomic step where the file system offers it (neither path is ever absent), else two renames.
    bestAvailable,
    // Always the two-rename fallback: `a` goes aside under a hidden name, `b` takes its place, and the
    // aside item takes `b`'s. A failure puts back what moved. Exists so that tests can run it.
    twoRenames,
};

// Throws std::system_error when either item is missing or a rename fails; the folder is fsynced after.
void exchangePaths(const std::filesystem::path& a, const std::filesystem::path& b,
                   ExchangeMethod method = ExchangeMethod::bestAvailable);

}  // namespace halvex::platform

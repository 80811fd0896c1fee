#pragma once

// The check every expanding fuzz target makes after each input: no link below a folder leads out of it.

#include <filesystem>
#include <system_error>

namespace halvex::fuzz {

inline bool staysInside(const std::filesystem::path& inside) {
    namespace fs = std::filesystem;
    const auto root = fs::weakly_canonical(inside);
    std::error_code error;
    for (fs::recursive_directory_iterator it(inside, fs::directory_options::none, error), end; it != end;
         it.increment(error)) {
        if (error) return false;
        if (!it->is_symlink()) continue;
        const auto target = fs::weakly_canonical(it->path(), error);
        if (error) continue;
        const auto relative = target.lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..") return false;
    }
    return true;
}

}  // namespace halvex::fuzz

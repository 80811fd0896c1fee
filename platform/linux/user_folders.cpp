#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "halvex/demo_build.h"

namespace halvex::platform {

namespace {

// The base-directory convention says relative values are invalid and must be ignored.
std::filesystem::path xdgDirectory(const char* variable, const char* fallbackBelowHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/' && !demoRoot()) return value;
    return homeDirectory() / fallbackBelowHome;
}

}  // namespace

std::optional<std::filesystem::path> demoRoot() {
#ifdef HALVEX_DEMO_BUILD
    if (const char* root = std::getenv("HVX_DEMO_ROOT"); root != nullptr && root[0] == '/') return root;
    return std::filesystem::path(build::demoRoot);
#else
    return std::nullopt;
#endif
}

std::filesystem::path homeDirectory() {
    if (const auto root = demoRoot()) return *root / "home";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result);
    if (result == nullptr || entry.pw_dir == nullptr) {
        throw std::system_error(error != 0 ? error : ENOENT, std::generic_category(), "home folder");
    }
    return entry.pw_dir;
}

std::filesystem::path userDataDirectory() {
    return xdgDirectory("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path userCacheDirectory() {
    return xdgDirectory("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path userConfigDirectory() {
    return xdgDirectory("XDG_CONFIG_HOME", ".config");
}

std::optional<std::filesystem::path> userRuntimeDirectory() {
    if (const auto root = demoRoot()) return *root / "run";
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value != nullptr && value[0] == '/') return value;
    return std::nullopt;
}

}  // namespace halvex::platform

#include "platform/browser.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/detached_process.h"

namespace halvex::platform {

namespace {

std::filesystem::path findOnPath(std::string_view name) {
    const char* variable = std::getenv("PATH");
    std::string_view path =
        variable != nullptr && *variable != '\0' ? variable : "/usr/local/bin:/usr/bin:/bin";
    while (!path.empty()) {
        const auto end = path.find(':');
        const auto folder = path.substr(0, end);
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
        // Relative entries would depend on the working folder.
        if (folder.empty() || folder.front() != '/') continue;
        auto candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::system_error(ENOENT, std::generic_category(), std::string(name) + " is not installed");
}

}  // namespace

void openInDefaultBrowser(const std::string& url) {
    startDetached(findOnPath("xdg-open"), {url});
}

}  // namespace halvex::platform

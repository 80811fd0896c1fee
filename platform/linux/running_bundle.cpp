#include "platform/running_bundle.h"

#include "platform/file_io.h"

namespace halvex::platform {

std::filesystem::path runningExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) throw std::system_error(error, "read /proc/self/exe");
    return path;
}

std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable) {
    const auto macOS = executable.parent_path();
    const auto contents = macOS.parent_path();
    const auto bundle = contents.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents" || bundle.extension() != ".app") {
        return std::nullopt;
    }
    return bundle;
}

std::optional<std::filesystem::path> runningBundlePath() {
    return bundleContaining(runningExecutablePath());
}

}  // namespace halvex::platform

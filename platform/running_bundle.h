#pragma once

// Where the running program lives.

#include <filesystem>
#include <optional>

namespace halvex::platform {

// The running executable, resolved through /proc/self/exe.
std::filesystem::path runningExecutablePath();

// The application bundle that holds `executable` as <bundle>.app/Contents/MacOS/<name>, or absent when
// the executable does not sit inside such a bundle.
std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable);

// The application bundle of the running executable, if it runs from one.
std::optional<std::filesystem::path> runningBundlePath();

}  // namespace halvex::platform

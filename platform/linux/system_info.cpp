#include "platform/system_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <fstream>
#include <string_view>

namespace halvex::platform {

std::string systemVersion() {
    utsname names{};
    if (::uname(&names) != 0) return "0.0.0";
    std::string_view release = names.release;
    std::array<unsigned long, 3> components{};
    // "6.1.0-18-amd64": numbers separated by "." until anything else appears.
    for (auto& component : components) {
        std::size_t digits = 0;
        while (digits < release.size() && std::isdigit(static_cast<unsigned char>(release[digits]))) {
            component = component * 10 + static_cast<unsigned long>(release[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits >= release.size() || release[digits] != '.') break;
        release.remove_prefix(digits + 1);
    }
    return std::to_string(components[0]) + "." + std::to_string(components[1]) + "." +
           std::to_string(components[2]);
}

}  // namespace halvex::platform

namespace halvex::platform {

namespace {

// PRETTY_HOSTNAME from hostnamed's machine-info file (shell-style assignments, values possibly quoted).
std::string machineInfoPrettyHostName() {
    std::ifstream file("/etc/machine-info");
    std::string line;
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    while (std::getline(file, line)) {
        if (!line.starts_with(key)) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

}  // namespace

std::string prettyHostName() {
    if (auto pretty = machineInfoPrettyHostName(); !pretty.empty()) return pretty;
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return {};
    return name.data();
}

}  // namespace halvex::platform

#include "core/trust/plugin_bundle_info.h"

#include <system_error>

namespace halvex {

std::optional<PluginBundleInfo> PluginBundleInfo::read(const std::filesystem::path& bundle) {
    try {
        const auto info = readInfoPlist(bundle);
        auto identifier = info.stringMember("CFBundleIdentifier");
        auto version = info.stringMember("CFBundleShortVersionString");
        if (!identifier || !version) return std::nullopt;
        return PluginBundleInfo{std::move(*identifier), std::move(*version)};
    } catch (const platform::PropertyListError&) {
        return std::nullopt;
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

std::optional<std::string> executableName(const platform::PropertyValue& info) {
    auto name = info.stringMember("CFBundleExecutable");
    if (!name || name->empty() || name->find('/') != std::string::npos || *name == "." || *name == "..") {
        return std::nullopt;
    }
    return name;
}

}  // namespace halvex

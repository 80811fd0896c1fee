#include "core/install/audio_application_monitor.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <set>

#include "core/foundation/bundle.h"
#include "platform/process_list.h"

namespace halvex {

namespace {

constexpr const char* supportedPrefixes[] = {
    "com.bitwig.studio",    "com.bitwig.bitwigstudio", "com.ableton.live",
    "com.apple.logic10",    "com.apple.mobilelogic",   "com.apple.garageband10",
    "com.steinberg.cubase", "com.presonus.studioone",  "com.avid.protools",
    "com.cockos.reaper",    "com.image-line.flstudio", "com.motu.digitalperformer",
};

}  // namespace

AudioApplicationMonitor::AudioApplicationMonitor()
    : AudioApplicationMonitor(platform::listProcessIDs, platform::processExecutable) {}

AudioApplicationMonitor::AudioApplicationMonitor(ProcessLister lister, ExecutableOf executableOf)
    : lister_(std::move(lister)), executableOf_(std::move(executableOf)) {}

std::size_t AudioApplicationMonitor::capacityFor(std::size_t processCount) {
    return processCount < 257 ? 512 : processCount + 256;
}

std::vector<std::string> AudioApplicationMonitor::runningApplications() {
    const std::size_t first = capacityFor(lister_(std::numeric_limits<std::size_t>::max()).size());
    std::vector<int> pids;
    bool whole = false;
    for (const std::size_t capacity : {first, first * 2, first * 4}) {
        pids = lister_(capacity);
        if (pids.empty()) return {processCheckUnavailable};
        if (pids.size() < capacity) {
            whole = true;
            break;
        }
    }
    if (!whole) return {processCheckUnavailable};

    std::set<std::string> names;
    for (const int pid : pids) {
        if (pid < 1 || platform::isZombie(pid)) continue;
        const auto executable = executableOf_(pid);
        if (!executable) continue;
        auto cached = namesByExecutable_.find(executable->string());
        if (cached == namesByExecutable_.end()) {
            cached = namesByExecutable_
                         .emplace(executable->string(), audioApplicationName(*executable).value_or(""))
                         .first;
        }
        if (!cached->second.empty()) names.insert(cached->second);
    }
    return {names.begin(), names.end()};
}

bool AudioApplicationMonitor::isSupported(const std::string& bundleID) {
    std::string lower = bundleID;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return std::any_of(std::begin(supportedPrefixes), std::end(supportedPrefixes),
                       [&](const char* prefix) { return lower.starts_with(prefix); });
}

std::optional<std::string> AudioApplicationMonitor::audioApplicationName(
    const std::filesystem::path& executable) {
    const auto target = executable.lexically_normal();
    for (auto folder = target.parent_path(); folder != folder.root_path() && !folder.empty();
         folder = folder.parent_path()) {
        if (folder.extension() != ".app") continue;
        const auto bundle = Bundle::atPath(folder);
        const auto name = bundle.infoString("CFBundleExecutable");
        const auto identifier = bundle.infoString("CFBundleIdentifier");
        if (!name || !identifier) continue;
        if ((folder / "Contents" / "MacOS" / *name).lexically_normal() != target || !isSupported(*identifier))
            continue;
        if (auto display = bundle.infoString("CFBundleDisplayName")) return display;
        if (auto bundleName = bundle.infoString("CFBundleName")) return bundleName;
        return identifier;
    }
    return std::nullopt;
}

}  // namespace halvex

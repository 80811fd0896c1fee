#include "app/desktop_integration.h"

#include <algorithm>

#include "app/desktop_entry.h"
#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"
#include "platform/running_bundle.h"
#include "platform/standard_folders.h"
#include "platform/user_folders.h"

namespace halvex::app {

namespace {

constexpr std::size_t maximumEntryBytes = 64 * 1024;
constexpr std::size_t maximumIconBytes = 8 * 1024 * 1024;
// Keys a user (or a menu editor on their behalf) sets to take the hub out of the menu.
constexpr std::string_view hidingKeys[] = {"NoDisplay", "Hidden"};

HalvexError unwritablePath() {
    return HalvexError::invalidPackage(
        "HALVEX HUB cannot add itself to the application menu from a folder whose name holds control "
        "characters or invalid text.");
}

std::filesystem::path standardized(const std::filesystem::path& path) {
    auto normal = path.lexically_normal();
    return normal.has_filename() ? normal : normal.parent_path();
}

std::optional<std::string> readIfPresent(const std::filesystem::path& path, std::size_t maximumBytes) {
    try {
        return platform::readFile(path, maximumBytes);
    } catch (const std::system_error&) {
        // Missing, unreadable or oversized all mean "not what we would write"; the write then says why if
        // it cannot replace it.
        return std::nullopt;
    }
}

void writeIfChanged(const std::filesystem::path& path, const std::string& bytes,
                    const std::optional<std::string>& existing) {
    if (existing == bytes) return;
    platform::createDirectories(path.parent_path(), 0755);
    platform::writeFileAtomically(path, bytes, 0644);
}

bool isIconSizeFolder(const std::string& name) {
    if (name == "scalable") return true;
    const auto x = name.find('x');
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.size() <= 4 &&
               std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return x != std::string::npos && digits(std::string_view(name).substr(0, x)) &&
           digits(std::string_view(name).substr(x + 1));
}

}  // namespace

DesktopIntegration DesktopIntegration::forBundle(const std::filesystem::path& bundle) {
    return DesktopIntegration(
        {bundle, platform::standardFolders().applications, platform::userDataDirectory()});
}

DesktopIntegration DesktopIntegration::forRunningBundle() {
    return forBundle(platform::runningBundlePath().value_or(platform::runningExecutablePath().parent_path()));
}

std::filesystem::path DesktopIntegration::executable() const {
    return places_.bundle / "Contents" / "MacOS" / "HalvexHub";
}

std::filesystem::path DesktopIntegration::entryPath() const {
    return places_.dataHome / "applications" / (std::string(applicationID) + ".desktop");
}

bool DesktopIntegration::isInstalled() const {
    return places_.bundle.extension() == ".app" &&
           standardized(places_.bundle).parent_path() == standardized(places_.applicationsFolder);
}

std::string DesktopIntegration::desktopEntry(const std::optional<std::string>& existing) const {
    const auto exec = desktop_entry::execValue({executable().string()});
    if (!exec) throw unwritablePath();
    const std::string id(applicationID);
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Version=1.4\n"
        "Name=HALVEX HUB\n"
        "GenericName=Audio Plugin Manager\n"
        "Comment=Install and update your HALVEX audio plugins\n"
        "Keywords=plugins;VST3;CLAP;Audio Unit;updates;\n"
        "Categories=AudioVideo;Audio;\n"
        "Icon=" +
        id + "\n" + "TryExec=" + desktop_entry::stringValue(executable().string()) + "\n" + "Exec=" + *exec +
        "\n" +
        "Terminal=false\n"
        "StartupNotify=true\n"
        "StartupWMClass=" +
        id + "\n";
    if (const auto keys = existing ? desktop_entry::entryKeys(*existing) : std::nullopt) {
        for (const auto key : hidingKeys) {
            const auto found = keys->find(std::string(key));
            if (found != keys->end() && found->second == "true") entry += std::string(key) + "=true\n";
        }
    }
    return entry;
}

std::vector<std::pair<std::filesystem::path, std::filesystem::path>> DesktopIntegration::iconFiles() const {
    const auto shipped = places_.bundle / "Contents" / "Resources" / "icons" / "hicolor";
    const auto theme = places_.dataHome / "icons" / "hicolor";
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;
    std::error_code error;
    for (const auto& size : std::filesystem::directory_iterator(shipped, error)) {
        const auto name = size.path().filename().string();
        if (!isIconSizeFolder(name)) continue;
        const auto file = std::filesystem::path("apps") /
                          (std::string(applicationID) + (name == "scalable" ? ".svg" : ".png"));
        // A link could point anywhere; only the bundle's own (sealed) files are copied.
        if (std::filesystem::symlink_status(size.path() / file, error).type() ==
            std::filesystem::file_type::regular) {
            files.emplace_back(size.path() / file, theme / name / file);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool DesktopIntegration::integrate() const {
    if (!isInstalled()) return false;
    if (!desktop_entry::canHold(executable().string())) throw unwritablePath();
    // Icons first, so that the entry never shows up without its icon.
    for (const auto& [from, to] : iconFiles()) {
        writeIfChanged(to, platform::readFile(from, maximumIconBytes), readIfPresent(to, maximumIconBytes));
    }
    const auto existing = readIfPresent(entryPath(), maximumEntryBytes);
    writeIfChanged(entryPath(), desktopEntry(existing), existing);
    return true;
}

}  // namespace halvex::app

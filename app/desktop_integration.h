#pragma once

// Makes an installed hub part of the user's desktop: its application-menu entry
// ($XDG_DATA_HOME/applications/com.halvex.hub.desktop) and its icon in the user's hicolor theme
// ($XDG_DATA_HOME/icons/hicolor/<size>/apps/com.halvex.hub.{png,svg}, copied from the bundle's
// Contents/Resources/icons). Only a bundle in the Applications folder integrates itself, so a copy run from
// a download or build folder never takes the menu entry over. Every file is written atomically and only
// when its content differs; nothing else in those folders is touched or removed, and a user's choice to
// hide the entry (NoDisplay or Hidden) is kept.
//
// Called from the window's start and from the re-registration that follows every hub update, on whatever
// thread runs those; it keeps no state.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::app {

class DesktopIntegration {
  public:
    struct Places {
        std::filesystem::path bundle;              // <...>.app
        std::filesystem::path applicationsFolder;  // the folder an installed hub sits in
        std::filesystem::path dataHome;            // $XDG_DATA_HOME
    };

    // The application id: desktop entry name, icon name, window class and Wayland app id.
    static constexpr std::string_view applicationID = "com.halvex.hub";

    explicit DesktopIntegration(Places places) : places_(std::move(places)) {}
    // `bundle` in the user's standard folders.
    static DesktopIntegration forBundle(const std::filesystem::path& bundle);
    static DesktopIntegration forRunningBundle();

    bool isInstalled() const;
    // Writes what is missing or stale; returns false (writing nothing) for a bundle outside the Applications
    // folder. Throws std::system_error when a file cannot be written, and HalvexError::invalidPackage when
    // the bundle's path cannot be written into a desktop entry.
    bool integrate() const;

    std::filesystem::path entryPath() const;
    // The entry for this bundle; `existing` is the entry already in place, whose hiding keys are kept.
    std::string desktopEntry(const std::optional<std::string>& existing = std::nullopt) const;
    // Pairs of (icon shipped in the bundle, where the theme wants it).
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> iconFiles() const;

  private:
    std::filesystem::path executable() const;

    Places places_;
};

}  // namespace halvex::app

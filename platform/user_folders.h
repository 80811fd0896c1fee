#pragma once

// The user's folders as the desktop conventions define them. In a demo build every one of them lies below
// the demo root instead, so that a demo touches nothing of the user's. Any thread.

#include <filesystem>
#include <optional>

namespace halvex::platform {

// A demo build's root: $HVX_DEMO_ROOT when it is an absolute path, else the root the build was
// configured with. Absent in every normal build, whatever the environment says.
std::optional<std::filesystem::path> demoRoot();

// $HOME, else the password database's home folder. In a demo build: <demo root>/home.
std::filesystem::path homeDirectory();

// Below: in a demo build the XDG variables are ignored and the fallbacks below the demo home apply.

// The application-support root: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::filesystem::path userDataDirectory();

// The caches root: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::filesystem::path userCacheDirectory();

// The configuration root: $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path userConfigDirectory();

// The session's runtime folder: $XDG_RUNTIME_DIR when it is an absolute path, else absent (a session
// without one). In a demo build: <demo root>/run, so that the demo's window never meets the user's own.
std::optional<std::filesystem::path> userRuntimeDirectory();

}  // namespace halvex::platform

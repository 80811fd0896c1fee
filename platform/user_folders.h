#pragma once

// The user's folders as the desktop conventions define them.

#include <filesystem>

namespace halvex::platform {

// $HOME, else the password database's home folder.
std::filesystem::path homeDirectory();

// The application-support root: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::filesystem::path userDataDirectory();

// The caches root: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::filesystem::path userCacheDirectory();

// The configuration root: $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path userConfigDirectory();

}  // namespace halvex::platform

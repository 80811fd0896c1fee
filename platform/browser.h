#pragma once

// Opens an address in the user's default browser through the desktop's opener (xdg-open, which honours
// $BROWSER). Returns once the opener started; any thread.

#include <string>

namespace halvex::platform {

// The opener gets the address as its one argument, never through a shell. Throws std::system_error when
// no opener is installed or it cannot be started.
void openInDefaultBrowser(const std::string& url);

}  // namespace halvex::platform

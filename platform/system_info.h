#pragma once

#include <string>

namespace halvex::platform {

// The running system's version: the first three numeric components of the kernel release (missing
// ones are 0), e.g. "6.1.0".
std::string systemVersion();

}  // namespace halvex::platform

namespace halvex::platform {

// The computer's human-readable name: the pretty host name systemd's hostnamed keeps, else the host
// name; empty when neither is set.
std::string prettyHostName();

}  // namespace halvex::platform

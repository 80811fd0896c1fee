#pragma once

#include <map>
#include <string>

namespace halvex::platform {

using Environment = std::map<std::string, std::string>;

// A snapshot of the process environment. A variable listed twice keeps its first value, as getenv does.
Environment currentEnvironment();

}  // namespace halvex::platform

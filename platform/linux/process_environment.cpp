#include "platform/process_environment.h"

#include <unistd.h>

#include <cstring>

namespace halvex::platform {

Environment currentEnvironment() {
    Environment result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* separator = std::strchr(*entry, '=');
        if (separator == nullptr) continue;
        result.emplace(std::string(*entry, static_cast<std::size_t>(separator - *entry)),
                       std::string(separator + 1));
    }
    return result;
}

}  // namespace halvex::platform

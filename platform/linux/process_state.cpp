#include "platform/process_state.h"

#include <fstream>
#include <string>

namespace halvex::platform {

bool isZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command name, which is in parentheses and may itself hold ") ".
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace halvex::platform

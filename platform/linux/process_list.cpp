#include "platform/process_list.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace halvex::platform {

namespace {

std::filesystem::path procEntry(ProcessID pid) {
    return std::filesystem::path("/proc") / std::to_string(pid);
}

bool isNumber(const std::string& name) {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

std::vector<ProcessID> listProcessIDs(std::size_t capacity) {
    std::vector<ProcessID> pids;
    std::error_code error;
    for (std::filesystem::directory_iterator entries("/proc", error), end; !error && entries != end;
         entries.increment(error)) {
        const auto name = entries->path().filename().string();
        if (!isNumber(name) || name.size() > 9) continue;
        if (pids.size() >= capacity) break;
        pids.push_back(std::stoi(name));
    }
    return pids;
}

std::optional<std::filesystem::path> processExecutable(ProcessID pid) {
    std::error_code error;
    auto path = std::filesystem::read_symlink(procEntry(pid) / "exe", error);
    if (error) return std::nullopt;
    return path;
}

std::vector<std::string> processArguments(ProcessID pid) {
    std::ifstream commandLine(procEntry(pid) / "cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(commandLine, argument, '\0');) arguments.push_back(argument);
    return arguments;
}

bool isZombie(ProcessID pid) {
    std::ifstream stat(procEntry(pid) / "stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command name, which is in parentheses and may itself hold ") ".
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace halvex::platform

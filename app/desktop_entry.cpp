#include "app/desktop_entry.h"

#include <algorithm>

#include "core/foundation/utf8.h"

namespace halvex::app::desktop_entry {

namespace {

// The characters a quoted argument escapes with a backslash.
constexpr std::string_view quotedEscapes = "\"`$\\";

std::string quotedArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (quotedEscapes.find(c) != std::string_view::npos) quoted += '\\';
        quoted += c;
        if (c == '%') quoted += '%';
    }
    return quoted + '"';
}

// The string escapes undone: \s, \n, \t, \r and \\; any other backslash stays as it is.
std::string unescapedString(std::string_view value) {
    std::string text;
    for (std::size_t index = 0; index < value.size(); ++index) {
        if (value[index] != '\\' || index + 1 == value.size()) {
            text += value[index];
            continue;
        }
        switch (value[index + 1]) {
            case 's':
                text += ' ';
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'r':
                text += '\r';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                text += value.substr(index, 2);
                break;
        }
        ++index;
    }
    return text;
}

}  // namespace

bool canHold(std::string_view text) {
    return isValidUTF8(text) && std::none_of(text.begin(), text.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

std::string stringValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::optional<std::string> execValue(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!canHold(argument)) return std::nullopt;
        if (!line.empty()) line += ' ';
        line += quotedArgument(argument);
    }
    return stringValue(line);
}

std::optional<std::vector<std::string>> execArguments(std::string_view value) {
    const auto line = unescapedString(value);
    std::vector<std::string> arguments;
    std::size_t index = 0;
    while (index < line.size()) {
        if (line[index] == ' ') {
            ++index;
            continue;
        }
        std::string argument;
        const bool quoted = line[index] == '"';
        if (quoted) ++index;
        while (index < line.size() && line[index] != (quoted ? '"' : ' ')) {
            char c = line[index++];
            if (quoted && c == '\\' && index < line.size() &&
                quotedEscapes.find(line[index]) != std::string_view::npos) {
                c = line[index++];
            } else if (c == '%') {
                if (index == line.size() || line[index] != '%') return std::nullopt;
                ++index;
            }
            argument += c;
        }
        if (quoted) {
            if (index == line.size()) return std::nullopt;
            ++index;
        }
        arguments.push_back(std::move(argument));
    }
    if (arguments.empty()) return std::nullopt;
    return arguments;
}

std::optional<std::map<std::string, std::string>> entryKeys(std::string_view text) {
    std::map<std::string, std::string> keys;
    bool inEntry = false;
    bool sawEntry = false;
    while (!text.empty()) {
        const auto end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            sawEntry = sawEntry || inEntry;
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || equals == std::string_view::npos) continue;
        auto key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
        auto value = line.substr(equals + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        keys.emplace(std::string(key), std::string(value));
    }
    if (!sawEntry) return std::nullopt;
    return keys;
}

}  // namespace halvex::app::desktop_entry

#include "app/process_mode.h"

#include <algorithm>
#include <charconv>

namespace halvex::app {

std::vector<std::string> modeArguments() {
    return {std::string(finishHubUpdateArgument), std::string(backgroundAgentArgument),
            std::string(registerBackgroundAgentArgument)};
}

std::optional<std::int32_t> parseProcessIdentifier(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const std::string digits = (negative ? "-" : "") + std::string(text);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

ProcessMode chooseProcessMode(const std::vector<std::string>& arguments) {
    const auto contains = [&](std::string_view argument) {
        return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
    };

    const auto finish = std::find(arguments.begin(), arguments.end(), finishHubUpdateArgument);
    if (finish != arguments.end()) {
        const auto index = static_cast<std::size_t>(finish - arguments.begin());
        if (arguments.size() == index + 3) {
            if (const auto parent = parseProcessIdentifier(arguments[index + 2])) {
                return FinishHubUpdateMode{arguments[index + 1], *parent};
            }
        }
    }
    if (contains(backgroundAgentArgument)) return BackgroundAgentMode{};
    if (contains(registerBackgroundAgentArgument)) return RegisterBackgroundAgentMode{};
    return WindowedMode{};
}

}  // namespace halvex::app

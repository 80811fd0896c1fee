#pragma once

// Which of the four process modes a command line asks for. Pure functions: any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace halvex::app {

struct FinishHubUpdateMode {
    std::string ticket;
    std::int32_t parentPID = 0;
    bool operator==(const FinishHubUpdateMode&) const = default;
};
struct BackgroundAgentMode {
    bool operator==(const BackgroundAgentMode&) const = default;
};
struct RegisterBackgroundAgentMode {
    bool operator==(const RegisterBackgroundAgentMode&) const = default;
};
struct WindowedMode {
    bool operator==(const WindowedMode&) const = default;
};

using ProcessMode =
    std::variant<FinishHubUpdateMode, BackgroundAgentMode, RegisterBackgroundAgentMode, WindowedMode>;

inline constexpr std::string_view finishHubUpdateArgument = "--finish-hub-update";
inline constexpr std::string_view backgroundAgentArgument = "--background-agent";
inline constexpr std::string_view registerBackgroundAgentArgument = "--register-background-agent";

// The arguments that start the executable in a mode other than the window.
std::vector<std::string> modeArguments();

// `arguments` is the full argument vector, element 0 being the program path. Arguments match as whole,
// case-sensitive strings. A malformed finishing command line falls through to the other modes.
ProcessMode chooseProcessMode(const std::vector<std::string>& arguments);

// Optional "+" or "-", then one or more ASCII digits, within the signed 32-bit range.
std::optional<std::int32_t> parseProcessIdentifier(std::string_view text);

}  // namespace halvex::app

#pragma once

// The command line of halvexctl: which command, its product argument and its options, or a usage error.
// Pure parsing; the help texts live here too so that every command's --help and its parser agree.
// Any thread.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace halvex::ctl {

enum class CommandKind { status, list, signIn, signOut, install, update, revert, hold, release, uninstall };

struct CtlCommand {
    CommandKind kind = CommandKind::status;
    std::optional<std::string> product;  // install, revert, hold, release, uninstall
    bool json = false;                   // status, list
    bool test = false;                   // install --test
    std::string scope = "all";           // list
    std::string search;                  // list
    bool operator==(const CtlCommand&) const = default;
};

// What to print instead of running anything: a help text (exit 0) or the program version.
struct HelpRequest {
    std::string text;
    bool operator==(const HelpRequest&) const = default;
};

struct UsageError {
    std::string message;  // one sentence, followed by the command's usage line when printed
    std::optional<CommandKind> command;
    bool operator==(const UsageError&) const = default;
};

using ParsedCommandLine = std::variant<CtlCommand, HelpRequest, UsageError>;

// `arguments` excludes the program name.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

std::string generalHelp();
std::string commandHelp(CommandKind kind);
std::string usageLine(CommandKind kind);
std::string commandName(CommandKind kind);

}  // namespace halvex::ctl

#include "ctl/ctl_command_line.h"

#include <array>
#include <utility>

#include "core/library/library_scope.h"

namespace halvex::ctl {

namespace {

struct CommandInfo {
    CommandKind kind;
    const char* name;
    const char* usage;
    const char* help;
};

constexpr const char* exitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  failed (the message on standard error says why)\n"
    "  2  usage error: unknown command or option, missing, unknown or ambiguous PRODUCT\n"
    "  3  waiting for an audio host to quit: nothing was replaced (an update may be staged and finishes\n"
    "     once the hosts have quit)\n"
    "  4  not signed in: run `halvexctl sign-in`\n";

constexpr std::array<CommandInfo, 10> commands = {{
    {CommandKind::status, "status", "halvexctl status [--json]",
     "Shows whether this computer is signed in, the background agent's state and its last report, the\n"
     "hub's version and any newer one, and for every installed, staged, held or revertible product: the\n"
     "installed version and channel, a staged (pending) version, an available update, whether it is\n"
     "held, the version `revert` would put back and whether every format is installed.\n"
     "\n"
     "--json prints one JSON object (schema 1; members are only ever added):\n"
     "  schema             1\n"
     "  signed_in          true or false\n"
     "  hub                {\"version\": string, \"newer_version\": string or null,\n"
     "                      \"check_error\": string or null}\n"
     "  agent              {\"state\": \"active\" | \"requires_approval\" | \"unavailable\",\n"
     "                      \"message\": string or null,\n"
     "                      \"last_report\": null or {\"checked_at\": ISO 8601 UTC time,\n"
     "                                            \"message\": string, \"error\": string or null}}\n"
     "  products           array of {\"product_id\", \"name\", \"installed_version\": string or null,\n"
     "                      \"channel\": string or null, \"pending_version\": string or null,\n"
     "                      \"available_update\": string or null, \"held\": bool,\n"
     "                      \"held_version\": string or null,\n"
     "                      \"revert_version\": string or null, \"complete\": bool,\n"
     "                      \"status\", \"action\", \"action_version\": string or null}\n"
     "Products are listed only while signed in (the catalogue names them).\n"
     "\n"
     "status is where the product stands, as the window's row says it: \"not_owned\", \"held\",\n"
     "\"update_staged\", \"not_installed\", \"incomplete\", \"update_available\" or \"up_to_date\".\n"
     "action is what the row offers next: \"purchase\", \"release_hold\", \"restart_hosts\",\n"
     "\"install\", \"update\" or \"repair\" (of action_version), or \"none\".\n"},
    {CommandKind::list, "list",
     "halvexctl list [--scope all|access|purchased|installed|discover] [--search TEXT] [--json]",
     "Lists the products of your library in catalogue order. --scope narrows it (default all); --search\n"
     "keeps products whose name, category, tagline or artist contain every word of TEXT (letter case\n"
     "and accents ignored).\n"
     "\n"
     "--json prints one JSON object (schema 1; members are only ever added):\n"
     "  schema             1\n"
     "  scope              the scope used\n"
     "  products           array of {\"product_id\", \"slug\", \"name\", \"category\", \"owned\": bool,\n"
     "                      \"access_source\": string or null, \"installed_version\": string or null,\n"
     "                      \"available_version\": string or null, \"held\": bool,\n"
     "                      \"status\", \"action\", \"action_version\": string or null}\n"
     "available_version is the release `install` would install; status and action are those of\n"
     "`halvexctl status --help`.\n"},
    {CommandKind::signIn, "sign-in", "halvexctl sign-in",
     "Signs this computer in: prints the address and the code to approve in a browser, opens the browser\n"
     "when there is a display, and waits until the sign-in is approved or expires.\n"},
    {CommandKind::signOut, "sign-out", "halvexctl sign-out",
     "Forgets this computer's sign-in. Installed plugins stay.\n"},
    {CommandKind::install, "install", "halvexctl install PRODUCT [--test]",
     "Downloads, verifies and installs PRODUCT's current release (its test build with --test). While an\n"
     "audio host runs, the verified update is staged instead and finishes once the hosts have quit (exit\n"
     "code 3). A held product is refused until its hold is released.\n"},
    {CommandKind::update, "update", "halvexctl update --all",
     "Installs every available update, like Update All in the window. Held products are skipped. Updates\n"
     "blocked by a running audio host are staged (exit code 3); a failed update does not stop the others\n"
     "(exit code 1 after all were tried).\n"},
    {CommandKind::revert, "revert", "halvexctl revert PRODUCT",
     "Puts back the version of PRODUCT kept in the rollback archive (the one the last update or\n"
     "uninstallation replaced), after verifying it again, and holds PRODUCT at that version. The version\n"
     "it replaces becomes the rollback archive. Refused while an audio host runs (exit code 3).\n"},
    {CommandKind::hold, "hold", "halvexctl hold PRODUCT",
     "Keeps PRODUCT at its installed version: the background agent, the window's automatic updates,\n"
     "Update All and `update --all` skip it until it is released.\n"},
    {CommandKind::release, "release", "halvexctl release PRODUCT",
     "Releases the hold on PRODUCT so that automatic updates resume. Releasing a product that is not\n"
     "held does nothing.\n"},
    {CommandKind::uninstall, "uninstall", "halvexctl uninstall PRODUCT",
     "Removes every format of PRODUCT and its receipt as one step, keeping the removed bundles as the\n"
     "rollback archive (`halvexctl revert PRODUCT` brings them back). Refused while an audio host runs\n"
     "(exit code 3).\n"},
}};

const CommandInfo& info(CommandKind kind) {
    for (const auto& command : commands) {
        if (command.kind == kind) return command;
    }
    return commands.front();
}

bool takesProduct(CommandKind kind) {
    return kind == CommandKind::install || kind == CommandKind::revert || kind == CommandKind::hold ||
           kind == CommandKind::release || kind == CommandKind::uninstall;
}

UsageError usage(std::string message, CommandKind kind) {
    return {std::move(message), kind};
}

}  // namespace

std::string commandName(CommandKind kind) {
    return info(kind).name;
}

std::string usageLine(CommandKind kind) {
    return std::string("Usage: ") + info(kind).usage;
}

std::string commandHelp(CommandKind kind) {
    const auto& command = info(kind);
    return usageLine(kind) + "\n\n" + command.help + "\n" +
           "PRODUCT is a product identifier, or a product's name or slug in any letter case when only one\n"
           "product has it.\n\n" +
           exitCodes;
}

std::string generalHelp() {
    std::string text =
        "halvexctl keeps HALVEX plugins current from a terminal or a script, with the same checks, lock\n"
        "and transactions as HALVEX HUB.\n\n"
        "Usage: halvexctl COMMAND [OPTIONS]\n\nCommands:\n";
    for (const auto& command : commands) text += std::string("  ") + command.usage + "\n";
    text +=
        "\n`halvexctl COMMAND --help` describes a command and its --json output.\n"
        "PRODUCT is a product identifier, or a product's name or slug in any letter case when only one\n"
        "product has it.\n\n";
    return text + exitCodes;
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return UsageError{"Name a command.", std::nullopt};
    const auto& first = arguments.front();
    if (first == "--help" || first == "-h" || first == "help") {
        if (first == "help" && arguments.size() == 2) {
            for (const auto& command : commands) {
                if (arguments[1] == command.name) return HelpRequest{commandHelp(command.kind)};
            }
        }
        return HelpRequest{generalHelp()};
    }
    const CommandInfo* found = nullptr;
    for (const auto& command : commands) {
        if (first == command.name) found = &command;
    }
    if (found == nullptr) return UsageError{"Unknown command “" + first + "”.", std::nullopt};

    CtlCommand command{.kind = found->kind};
    bool all = false;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const auto& argument = arguments[index];
        const bool hasValue = index + 1 < arguments.size();
        const bool reporting = command.kind == CommandKind::status || command.kind == CommandKind::list;
        if (argument == "--help" || argument == "-h") return HelpRequest{commandHelp(command.kind)};
        if (argument == "--json" && reporting) {
            command.json = true;
        } else if (argument == "--test" && command.kind == CommandKind::install) {
            command.test = true;
        } else if (argument == "--all" && command.kind == CommandKind::update) {
            all = true;
        } else if ((argument == "--scope" || argument == "--search") && command.kind == CommandKind::list) {
            if (!hasValue) return usage(argument + " needs a value.", command.kind);
            const auto& value = arguments[++index];
            if (argument == "--search") {
                command.search = value;
            } else if (!libraryScope(value)) {
                return usage("Unknown scope “" + value + "”.", command.kind);
            } else {
                command.scope = value;
            }
        } else if (argument.starts_with("-") && argument != "-") {
            return usage("Unknown option “" + argument + "”.", command.kind);
        } else if (takesProduct(command.kind) && !command.product) {
            command.product = argument;
        } else {
            return usage("Unexpected argument “" + argument + "”.", command.kind);
        }
    }
    if (takesProduct(command.kind) && !command.product) return usage("Name a product.", command.kind);
    if (command.kind == CommandKind::update && !all)
        return usage("Add --all to install every update.", command.kind);
    return command;
}

}  // namespace halvex::ctl

#include "ctl/ctl_command_line.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ctl/download_progress.h"

namespace halvex::ctl {
namespace {

TEST(CtlCommandLine, ParsesEveryCommandsOptions) {
    using Arguments = std::vector<std::string>;
    const std::vector<std::pair<Arguments, CtlCommand>> cases = {
        {{"status"}, {.kind = CommandKind::status}},
        {{"status", "--json"}, {.kind = CommandKind::status, .json = true}},
        {{"list", "--search", "deep verb", "--scope", "installed", "--json"},
         {.kind = CommandKind::list, .json = true, .scope = "installed", .search = "deep verb"}},
        {{"install", "--test", "Aurora"}, {.kind = CommandKind::install, .product = "Aurora", .test = true}},
        {{"update", "--all"}, {.kind = CommandKind::update}},
        {{"uninstall", "prod_a"}, {.kind = CommandKind::uninstall, .product = "prod_a"}},
    };
    for (const auto& [arguments, expected] : cases) {
        const auto parsed = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<CtlCommand>(parsed)) << arguments.front();
        EXPECT_EQ(std::get<CtlCommand>(parsed), expected) << arguments.front();
    }
    EXPECT_TRUE(std::holds_alternative<UsageError>(parseCommandLine({"list", "--scope"})));
    EXPECT_TRUE(std::holds_alternative<UsageError>(parseCommandLine({"install", "--json", "a"})));
    EXPECT_EQ(parseCommandLine({"help", "revert"}),
              ParsedCommandLine(HelpRequest{commandHelp(CommandKind::revert)}));
}

TEST(DownloadProgress, BarShowsShareRateAndTimeLeft) {
    EXPECT_EQ(DownloadProgress::bar("Aurora 1.1.0", 0, 1000, 0),
              "Aurora 1.1.0  [------------------------]   0%");
    EXPECT_EQ(DownloadProgress::bar("A", 500'000, 2'000'000, 250'000),
              "A  [######------------------]  25%  250.0 KB/s  6 s left");
    EXPECT_EQ(DownloadProgress::bar("A", 2'000'000, 2'000'000, 1'500'000),
              "A  [########################] 100%  1.5 MB/s");
    EXPECT_EQ(DownloadProgress::durationText(59.2), "1 min 0 s");
    EXPECT_EQ(DownloadProgress::durationText(7300), "2 h 1 min");
}

TEST(DownloadProgress, DrawsABarOnATerminalAndPlainLinesOtherwise) {
    using Step = PluginInstaller::Progress::Step;
    const std::vector<PluginInstaller::Progress> reports = {{Step::downloading, 0, 1000},
                                                            {Step::downloading, 1000, 1000},
                                                            {Step::verifying, 1000, 1000},
                                                            {Step::installing, 1000, 1000}};
    struct Case {
        bool terminal;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {true,
         "\rA 1.0  [------------------------]   0%\rA 1.0  [########################] 100%\n"
         "Verifying A 1.0\u2026\nInstalling A 1.0\u2026\n"},
        {false, "Downloading A 1.0 (1.0 KB)\u2026\nVerifying A 1.0\u2026\nInstalling A 1.0\u2026\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        {
            DownloadProgress progress(out, "A 1.0", c.terminal);
            for (const auto& report : reports) progress.report(report);
        }
        EXPECT_EQ(out.str(), c.expected) << c.terminal;
    }
}

}  // namespace
}  // namespace halvex::ctl

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "app/agent_lock.h"
#include "app/background_service_controller.h"
#include "app/halvex_entry_point.h"
#include "app/process_mode.h"
#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_directory.h"

namespace halvex::app {
namespace {

struct ModeRow {
    std::vector<std::string> arguments;  // after the program path
    ProcessMode expected;
};

TEST(ProcessMode, ArgumentTable) {
    const std::vector<ModeRow> table = {
        {{"--finish-hub-update", "T", "123"}, FinishHubUpdateMode{"T", 123}},
        {{"--finish-hub-update", "T", "123", "extra"}, WindowedMode{}},
        {{"--finish-hub-update", "T"}, WindowedMode{}},
        {{"--finish-hub-update", "T", "+42"}, FinishHubUpdateMode{"T", 42}},
        {{"--finish-hub-update", "T", "-7"}, FinishHubUpdateMode{"T", -7}},
        {{"--finish-hub-update", "T", "-"}, WindowedMode{}},
        {{"--finish-hub-update", "T", "12a"}, WindowedMode{}},
        {{"--finish-hub-update", "T", ""}, WindowedMode{}},
        {{"--finish-hub-update", "T", " 1"}, WindowedMode{}},
        {{"--finish-hub-update", "T", "2147483647"}, FinishHubUpdateMode{"T", 2147483647}},
        {{"--finish-hub-update", "T", "2147483648"}, WindowedMode{}},
        {{"--finish-hub-update", "T", "-2147483648"}, FinishHubUpdateMode{"T", -2147483647 - 1}},
        {{"--finish-hub-update", "--background-agent", "5"}, FinishHubUpdateMode{"--background-agent", 5}},
        {{"--finish-hub-update", "T", "x", "--background-agent"}, BackgroundAgentMode{}},
        {{"extra", "--finish-hub-update", "T", "9"}, FinishHubUpdateMode{"T", 9}},
        {{"--background-agent", "--register-background-agent"}, BackgroundAgentMode{}},
        {{"--register-background-agent", "--background-agent"}, BackgroundAgentMode{}},
        {{"--register-background-agent"}, RegisterBackgroundAgentMode{}},
        {{"--Background-Agent"}, WindowedMode{}},
        {{"--background-agent=1"}, WindowedMode{}},
        {{}, WindowedMode{}},
    };
    for (const auto& row : table) {
        auto arguments = row.arguments;
        arguments.insert(arguments.begin(),
                         "/home/user/Applications/HALVEX HUB.app/Contents/MacOS/HalvexHub");
        EXPECT_EQ(chooseProcessMode(arguments), row.expected) << testing::PrintToString(row.arguments);
    }
    EXPECT_EQ(chooseProcessMode({}), ProcessMode(WindowedMode{}));
}

TEST(HalvexEntryPoint, RegistrationFailurePrintsOneErrorLineAndExitsOne) {
    ModeRunners runners = defaultModeRunners();
    runners.replaceRegistration = [] {
        throw HalvexError::backgroundService("Move HALVEX HUB to Applications.");
    };
    std::ostringstream errors;
    EXPECT_EQ(HalvexEntryPoint::run({"hub", "--register-background-agent"}, runners, errors), 1);
    EXPECT_EQ(errors.str(), "HalvexCore.HalvexError 5: Move HALVEX HUB to Applications. {}\n");

    runners.replaceRegistration = [] {};
    std::ostringstream quiet;
    EXPECT_EQ(HalvexEntryPoint::run({"hub", "--register-background-agent"}, runners, quiet), 0);
    EXPECT_EQ(quiet.str(), "");
}

TEST(HalvexEntryPoint, PlatformErrorsKeepTheirDomainAndCode) {
    EXPECT_EQ(errorLine(std::system_error(13, std::generic_category(), "open")),
              "NSPOSIXErrorDomain 13: open: Permission denied {}\n");
}

TEST(HalvexEntryPoint, TheBuiltExecutableChoosesItsModes) {
    const std::string executable = HALVEX_HUB_EXECUTABLE;
    ASSERT_NE(executable.find("HALVEX HUB.app/Contents/MacOS/HalvexHub"), std::string::npos);

    // The window mode names its service first; without a display it says why it cannot open.
    const std::map<std::string, std::string> noDisplay{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    auto environment = noDisplay;
    environment["HVX_API_BASE_URL"] = "http://127.0.0.1:1";
    const auto window = test::runProcess({executable}, environment);
    EXPECT_EQ(window.exitStatus, 1);
    EXPECT_NE(window.standardOutput.find("http://127.0.0.1:1/"), std::string::npos) << window.standardOutput;
    EXPECT_EQ(window.standardError, "HALVEX HUB needs a desktop session to open its window.\n");

    environment["HVX_API_BASE_URL"] = "";
    const auto badURL = test::runProcess({executable, "--Background-Agent"}, environment);
    EXPECT_EQ(badURL.exitStatus, 1);
    EXPECT_NE(badURL.standardOutput.find("HALVEX HUB is missing its API URL."), std::string::npos);

    test::TemporaryDirectory data;
    const auto finishing = test::runProcess({executable, "--finish-hub-update", "T", "1"},
                                            {{"XDG_DATA_HOME", data.path().string()}});
    EXPECT_EQ(finishing.exitStatus, 1);
    EXPECT_NE(platform::readFile(data / "Halvex" / "background-status.json", 4096)
                  .find("The HUB update did not finish. Please retry in the HUB."),
              std::string::npos);

    const auto registration = test::runProcess({executable, "--register-background-agent"});
    EXPECT_EQ(registration.exitStatus, 1);
    EXPECT_TRUE(registration.standardError.starts_with("HalvexCore.HalvexError 5: "))
        << registration.standardError;
}

// One window per user, through the real executable: a second start asks the open window to come forward
// and ends at once, leaving the first running.
TEST(HalvexEntryPoint, ASecondWindowStartRaisesTheOpenWindowAndEnds) {
    test::TemporaryDirectory home;
    const auto runtime = home / "runtime";
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const std::map<std::string, std::string> session{{"HOME", home.path().string()},
                                                     {"XDG_RUNTIME_DIR", runtime.string()},
                                                     {"QT_QPA_PLATFORM", "offscreen"},
                                                     {"HVX_API_BASE_URL", "http://127.0.0.1:1"}};
    test::ChildProcess first({HALVEX_HUB_EXECUTABLE}, session);
    const auto socket = runtime / "com.halvex.hub" / "window.socket";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(socket) && first.running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(std::filesystem::exists(socket));

    const auto second = test::runProcess({HALVEX_HUB_EXECUTABLE}, session);
    EXPECT_EQ(second.exitStatus, 0) << second.standardError;
    EXPECT_TRUE(first.running());
}

}  // namespace
}  // namespace halvex::app

#include "app/desktop_integration.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/autostart_registration.h"
#include "app/desktop_entry.h"
#include "app/halvex_entry_point.h"
#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"
#include "platform/property_list.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/wait.h"

namespace halvex::app {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read(const std::filesystem::path& path) {
    return platform::readFile(path, 1 << 20);
}

class DesktopIntegrationTest : public testing::Test {
  protected:
    // A bundle with an executable and two icon sizes, named `name` inside `folder`.
    std::filesystem::path makeBundle(const std::filesystem::path& folder, const std::string& name,
                                     const std::string& iconBytes = "png-48") {
        const auto bundle = folder / name;
        writeFile(bundle / "Contents/MacOS/HalvexHub", "#!/bin/sh\n");
        std::filesystem::permissions(bundle / "Contents/MacOS/HalvexHub", std::filesystem::perms::owner_all);
        const auto icons = bundle / "Contents/Resources/icons/hicolor";
        writeFile(icons / "48x48/apps/com.halvex.hub.png", iconBytes);
        writeFile(icons / "scalable/apps/com.halvex.hub.svg", "<svg/>");
        return bundle;
    }
    DesktopIntegration integration(const std::filesystem::path& bundle) const {
        return DesktopIntegration({bundle, applications, dataHome});
    }

    test::TemporaryDirectory folder;
    std::filesystem::path applications = folder / "home/Applications";
    std::filesystem::path dataHome = folder / "home/.local/share";
    std::filesystem::path entry = dataHome / "applications/com.halvex.hub.desktop";
};

TEST_F(DesktopIntegrationTest, AnInstalledBundleWritesAValidEntryAndItsIcons) {
    const auto bundle = makeBundle(applications, "HALVEX HUB.app");
    ASSERT_TRUE(integration(bundle).integrate());

    const auto text = read(entry);
    const auto executable = (bundle / "Contents/MacOS/HalvexHub").string();
    EXPECT_NE(text.find("\nExec=\"" + executable + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nTryExec=" + executable + "\n"), std::string::npos) << text;
    for (const auto* line : {"Name=HALVEX HUB", "Icon=com.halvex.hub", "StartupWMClass=com.halvex.hub",
                             "Categories=AudioVideo;Audio;", "GenericName=", "Comment="}) {
        EXPECT_NE(text.find(std::string("\n") + line), std::string::npos) << line;
    }
    EXPECT_EQ(read(dataHome / "icons/hicolor/48x48/apps/com.halvex.hub.png"), "png-48");
    EXPECT_EQ(read(dataHome / "icons/hicolor/scalable/apps/com.halvex.hub.svg"), "<svg/>");

    const auto validation = test::runProcess({"desktop-file-validate", entry.string()});
    EXPECT_EQ(validation.exitStatus, 0) << validation.standardOutput << validation.standardError;
    EXPECT_EQ(validation.standardOutput, "");
}

TEST_F(DesktopIntegrationTest, ABundleOutsideTheApplicationsFolderWritesNothing) {
    for (const auto& bundle :
         {makeBundle(folder / "Downloads", "HALVEX HUB.app"),
          makeBundle(applications / "Tools", "HALVEX HUB.app"), makeBundle(applications, "HALVEX HUB.App")}) {
        EXPECT_FALSE(integration(bundle).integrate()) << bundle;
    }
    EXPECT_FALSE(std::filesystem::exists(dataHome));
    EXPECT_TRUE(integration(applications / "." / "HALVEX HUB.app").isInstalled());
}

TEST_F(DesktopIntegrationTest, KeepsEverythingOfTheUsersAndRewritesOnlyWhatIsStale) {
    writeFile(dataHome / "applications/other.desktop", "[Desktop Entry]\nName=Other\n");
    writeFile(dataHome / "icons/hicolor/48x48/apps/other.png", "other");
    // A menu editor hid the hub; an older bundle location is still recorded.
    writeFile(entry, "[Desktop Entry]\nExec=/old/place\nNoDisplay=true\nName=HALVEX HUB\n");

    const auto bundle = makeBundle(applications, "HALVEX HUB.app");
    ASSERT_TRUE(integration(bundle).integrate());
    EXPECT_EQ(read(dataHome / "applications/other.desktop"), "[Desktop Entry]\nName=Other\n");
    EXPECT_EQ(read(dataHome / "icons/hicolor/48x48/apps/other.png"), "other");
    const auto text = read(entry);
    EXPECT_NE(text.find("\nNoDisplay=true\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("/old/place"), std::string::npos) << text;

    // Nothing changed: nothing is rewritten.
    const auto entryStamp = platform::stampOf(entry);
    const auto iconStamp = platform::stampOf(dataHome / "icons/hicolor/48x48/apps/com.halvex.hub.png");
    ASSERT_TRUE(integration(bundle).integrate());
    EXPECT_EQ(platform::stampOf(entry), entryStamp);
    EXPECT_EQ(platform::stampOf(dataHome / "icons/hicolor/48x48/apps/com.halvex.hub.png"), iconStamp);

    // Another bundle (a moved or updated hub) takes the entry and icon over; no hidden work files remain.
    const auto moved = makeBundle(applications, "HALVEX HUB 2.app", "png-48-new");
    ASSERT_TRUE(integration(moved).integrate());
    EXPECT_NE(read(entry).find(moved.string()), std::string::npos);
    EXPECT_EQ(read(dataHome / "icons/hicolor/48x48/apps/com.halvex.hub.png"), "png-48-new");
    for (const auto& file : std::filesystem::recursive_directory_iterator(dataHome)) {
        EXPECT_NE(file.path().filename().string().front(), '.') << file.path();
    }
}

TEST_F(DesktopIntegrationTest, AFolderNameNoEntryCanCarryIsRefusedBeforeAnythingIsWritten) {
    const auto bundle = makeBundle(applications, "HALVEX\nHUB.app");
    EXPECT_THROW(integration(bundle).integrate(), HalvexError);
    EXPECT_FALSE(std::filesystem::exists(dataHome));
}

TEST(DesktopEntry, ExecValuesQuoteEscapeAndReadBack) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"/home/a/Applications/HALVEX HUB.app/x", R"("/home/a/Applications/HALVEX HUB.app/x")"},
        {R"(/a"b)", R"("/a\\"b")"},
        {"/a$b`c", R"("/a\\$b\\`c")"},
        {R"(/a\b)", R"("/a\\\\b")"},
        {"/100%", R"("/100%%")"},
        {"/Ünïcødé/音", R"("/Ünïcødé/音")"},
    };
    for (const auto& [argument, expected] : table) {
        EXPECT_EQ(desktop_entry::execValue({argument}), expected) << argument;
        EXPECT_EQ(desktop_entry::execArguments(expected), std::vector<std::string>{argument}) << expected;
    }
    EXPECT_EQ(desktop_entry::execValue({"/a b", "--background-agent"}), R"("/a b" "--background-agent")");
    EXPECT_EQ(desktop_entry::execArguments(R"(/usr/bin/true --background-agent)"),
              (std::vector<std::string>{"/usr/bin/true", "--background-agent"}));
    EXPECT_EQ(desktop_entry::execValue({"/a\nb"}), std::nullopt);
    EXPECT_EQ(desktop_entry::execValue({"/a\xff"}), std::nullopt);
    for (const auto* malformed : {"", "   ", R"("unterminated)", "/app %u", R"("/100%")", "/100%"}) {
        EXPECT_EQ(desktop_entry::execArguments(malformed), std::nullopt) << malformed;
    }
}

// The bundle below folders whose names need every escape: the menu entry and the agent's autostart entry
// pass desktop-file-validate, read back as this bundle, and a real launcher (GLib's) runs exactly its
// executable from either.
TEST(DesktopEntry, BothEntriesRunTheBundleWhateverItsFolderIsCalled) {
    for (const std::string name : {"Apps ‘n’ \"Tools\" \\ 100% ünï", "Apps \"Tools\" \\ $HOME `x` ünï"}) {
        SCOPED_TRACE(name);
        test::TemporaryDirectory folder;
        const auto applications = folder / name / "Applications";
        const auto bundle = applications / "HALVEX HUB.app";
        const auto executable = bundle / "Contents/MacOS/HalvexHub";
        const auto record = folder / "started.txt";
        // Records what it was started as, one line per argument.
        writeFile(executable, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" >'" + record.string() + "'\n");
        std::filesystem::permissions(executable, std::filesystem::perms(0755));
        writeFile(
            bundle / "Contents/Library/LaunchAgents/com.halvex.hub.agent.plist",
            platform::xmlPropertyList(platform::PropertyValue(platform::PropertyValue::Dictionary{
                {"ProgramArguments", platform::PropertyValue::Array{std::string("HalvexHub"),
                                                                    std::string("--background-agent")}}})));
        const auto started = [&] {
            test::waitUntil([&] { return std::filesystem::exists(record); });
            test::waitUntil([&] { return read(record).ends_with("\n"); });
            const auto text = read(record);
            std::filesystem::remove(record);
            return text;
        };

        const auto dataHome = folder / "data";
        ASSERT_TRUE(DesktopIntegration({bundle, applications, dataHome}).integrate());
        const AutostartRegistration::Places places{bundle, folder / "autostart", folder / "agent"};
        auto agent = AutostartRegistration::agent(places);
        agent.registerService();
        EXPECT_EQ(started(), executable.string() + "\n--background-agent\n");
        EXPECT_EQ(agent.status(), BackgroundServiceRegistration::enabled);

        const auto menuEntry = dataHome / "applications/com.halvex.hub.desktop";
        for (const auto& [entry, expected] :
             {std::pair{menuEntry, executable.string() + "\n"},
              std::pair{agent.entryPath(), executable.string() + "\n--background-agent\n"}}) {
            const auto validation = test::runProcess({"desktop-file-validate", entry.string()});
            EXPECT_EQ(validation.exitStatus, 0) << validation.standardOutput << read(entry);
            EXPECT_EQ(validation.standardOutput, "") << read(entry);
            // GLib looks the program up before it reads "%%" as "%": it cannot start a path holding "%".
            if (name.find('%') != std::string::npos) continue;
            const auto launch =
                test::runProcess({"gio", "launch", entry.string()}, {{"DBUS_SESSION_BUS_ADDRESS", ""}});
            EXPECT_EQ(launch.exitStatus, 0) << launch.standardError << read(entry);
            EXPECT_EQ(started(), expected) << read(entry);
        }
    }
}

TEST(DesktopIntegration, TheWindowAndTheReRegistrationIntegrateFirstAndSurviveItsFailure) {
    std::vector<std::string> calls;
    ModeRunners runners;
    runners.window = [&] {
        calls.push_back("window");
        return 0;
    };
    runners.replaceRegistration = [&] { calls.push_back("register"); };
    runners.backgroundAgent = [&] {
        calls.push_back("agent");
        return 0;
    };
    runners.integrateDesktop = [&] {
        calls.push_back("integrate");
        throw std::system_error(EACCES, std::generic_category(), "write entry");
    };
    std::ostringstream errors;
    EXPECT_EQ(HalvexEntryPoint::run({"hub"}, runners, errors), 0);
    EXPECT_EQ(HalvexEntryPoint::run({"hub", "--register-background-agent"}, runners, errors), 0);
    EXPECT_EQ(HalvexEntryPoint::run({"hub", "--background-agent"}, runners, errors), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"integrate", "window", "integrate", "register", "agent"}));
    const auto line = errorLine(std::system_error(EACCES, std::generic_category(), "write entry"));
    EXPECT_EQ(errors.str(), line + line);
}

}  // namespace
}  // namespace halvex::app

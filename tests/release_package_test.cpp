// The release a user downloads, end to end with real processes: scripts/package --demo makes the archive;
// unpacked into a temporary ~/Applications, the hub starts, puts its menu entry and icon in place, and its
// background agent updates it from the next archive served by the stand-in service.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "app/agent_lock.h"
#include "halvex/trust_constants.h"
#include "platform/file_io.h"
#include "platform/property_list.h"
#include "tests/support/child_process.h"
#include "tests/support/ci_skip.h"
#include "tests/support/temporary_directory.h"
#include "tools/stand_in_service/stand_in_service.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

template <class Condition>
bool waitFor(Condition condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string read(const std::filesystem::path& path) {
    return platform::readFile(path, 64 << 20);
}

class ReleasePackage : public testing::Test {
  protected:
    // Runs scripts/package on this build; returns the archive and the record it printed.
    std::pair<std::filesystem::path, std::filesystem::path> package(const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {std::string(HALVEX_SOURCE_DIR) + "/scripts/package",
                                              "--demo",
                                              "--no-build",
                                              "--build-dir",
                                              HALVEX_BUILD_DIR,
                                              "--out",
                                              (folder / "dist").string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto result = test::runProcess(arguments, {}, 120s);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        const auto newline = result.standardOutput.find('\n');
        return {result.standardOutput.substr(0, newline),
                result.standardOutput.substr(newline + 1, result.standardOutput.size() - newline - 2)};
    }

    // A window may have started the agent; it must not race the one the test starts.
    void stopAgent() const {
        if (const auto agent = app::AgentLock::holder(data / "Halvex")) ::kill(*agent, SIGTERM);
        EXPECT_TRUE(waitFor([&] { return !app::AgentLock::holder(data / "Halvex"); }, 30s));
    }

    test::TemporaryDirectory folder;
    std::filesystem::path home = folder / "home";
    std::filesystem::path applications = home / "Applications";
    std::filesystem::path data = home / ".local/share";
    std::filesystem::path bundle = applications / "HALVEX HUB.app";
    std::filesystem::path executable = bundle / "Contents/MacOS/HalvexHub";
    std::filesystem::path entry = data / "applications/com.halvex.hub.desktop";
};

TEST_F(ReleasePackage, TheDemoArchiveInstallsIntegratesAndUpdatesItself) {
    if (std::string(build::demoKeysFolder).empty()) HALVEX_SKIP_OUTSIDE_CI("this build trusts release keys");

    const auto archive = package({}).first;
    const auto [nextArchive, nextRecord] = package({"--version", "9.0.0", "--release-notes", "Next."});
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(archive.string().ends_with("-demo.zip")) << archive;
    EXPECT_NE(nextArchive.filename().string().find("HALVEX-HUB-9.0.0-linux-"), std::string::npos);

    tools::StandInService service(tools::StandInService::Options{});
    const auto runtime = folder / "run";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const std::map<std::string, std::string> environment = {
        {"HOME", home.string()},
        {"XDG_DATA_HOME", data.string()},
        {"XDG_CONFIG_HOME", (home / ".config").string()},
        {"XDG_CACHE_HOME", (home / ".cache").string()},
        {"XDG_RUNTIME_DIR", runtime.string()},
        {"DBUS_SESSION_BUS_ADDRESS", ""},
        {"QT_QPA_PLATFORM", "offscreen"},
        {"HVX_API_BASE_URL", service.baseURL()},
    };

    // What a user does: unpack into ~/Applications and start it once.
    std::filesystem::create_directories(applications);
    const auto unpack = test::runProcess({"bsdtar", "-xf", archive.string(), "-C", applications.string()});
    ASSERT_EQ(unpack.exitStatus, 0) << unpack.standardError;
    {
        test::ChildProcess window({executable.string()}, environment);
        ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(entry); }, 60s));
        if (window.running()) window.stop();
    }
    EXPECT_EQ(
        test::runProcess({(bundle / "Contents/MacOS/halvexctl").string(), "--help"}, environment).exitStatus,
        0)
        << "the command-line hub ships in the bundle";
    const auto text = read(entry);
    EXPECT_NE(text.find("\nExec=\"" + executable.string() + "\"\n"), std::string::npos) << text;
    EXPECT_EQ(read(data / "icons/hicolor/48x48/apps/com.halvex.hub.png"),
              read(bundle / "Contents/Resources/icons/hicolor/48x48/apps/com.halvex.hub.png"));
    EXPECT_EQ(read(data / "icons/hicolor/scalable/apps/com.halvex.hub.svg"),
              read(bundle / "Contents/Resources/icons/hicolor/scalable/apps/com.halvex.hub.svg"));
    const auto validation = test::runProcess({"desktop-file-validate", entry.string()});
    EXPECT_EQ(validation.exitStatus, 0) << validation.standardOutput;

    // The service announces the next release; the agent installs it and ends, and the new bundle's
    // re-registration integrates it again.
    stopAgent();
    auto announced = read(nextRecord);
    const std::string marker = "{{BASE_URL}}";
    announced.replace(announced.find(marker), marker.size(), service.baseURL());
    service.setHubRelease(nlohmann::json::parse(announced));
    service.addFileFromDisk("hub/" + nextArchive.filename().string(), nextArchive);
    std::filesystem::remove(entry);
    {
        test::ChildProcess agent({executable.string(), "--background-agent"}, environment);
        EXPECT_TRUE(waitFor([&] { return !agent.running(); }, 120s))
            << platform::readFile(data / "Halvex/background-status.json", 4096);
    }
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(entry); }, 30s));
    // The re-registration starts the new bundle's agent, possibly after the entry is written; it must not
    // outlive the test.
    EXPECT_TRUE(waitFor([&] { return app::AgentLock::holder(data / "Halvex").has_value(); }, 30s));
    stopAgent();

    EXPECT_EQ(
        platform::readPropertyList(bundle / "Contents/Info.plist").stringMember("CFBundleShortVersionString"),
        "9.0.0");
    EXPECT_NE(read(entry).find("\nExec=\"" + executable.string() + "\"\n"), std::string::npos);
    std::vector<std::string> installed;
    for (const auto& item : std::filesystem::directory_iterator(applications))
        installed.push_back(item.path().filename());
    EXPECT_EQ(installed, std::vector<std::string>{"HALVEX HUB.app"}) << "no hidden copies remain";
    EXPECT_EQ(service.requestsTo("/files/hub/" + nextArchive.filename().string()).size(), 1u)
        << "downloaded once";
}

TEST_F(ReleasePackage, RefusesDemoKeysWithoutTheDemoFlag) {
    if (std::string(build::demoKeysFolder).empty()) HALVEX_SKIP_OUTSIDE_CI("this build trusts release keys");
    const auto result = test::runProcess({std::string(HALVEX_SOURCE_DIR) + "/scripts/package", "--keys",
                                          build::demoKeysFolder, "--no-build", "--build-dir",
                                          HALVEX_BUILD_DIR, "--out", (folder / "dist").string()});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.standardError.find("demo keys"), std::string::npos) << result.standardError;
    EXPECT_FALSE(std::filesystem::exists(folder / "dist"));
}

}  // namespace
}  // namespace halvex

// halvexctl as studios run it: the real executable in the bundle, against the stand-in service, with a
// temporary home and data folder. The plugins are CLAP-only test builds so that everything it installs
// stays below the temporary home folder.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "core/foundation/utf8.h"
#include "core/install/plugin_installer.h"
#include "halvex/trust_constants.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "tests/support/child_process.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

using JSON = nlohmann::json;
using namespace std::chrono_literals;

tools::StandInService::Options quickSignIn() {
    tools::StandInService::Options options;
    options.pollIntervalSeconds = 1;
    return options;
}

class HalvexCtlTest : public test::ServiceFixture {
  protected:
    HalvexCtlTest() : test::ServiceFixture(quickSignIn()) {
        std::filesystem::create_directories(home);
        service.setHubRelease(JSON{{"release_id", "hub_1"},
                                   {"version", "1.0.0"},
                                   {"platform", "macos"},
                                   {"architectures", {"arm64"}},
                                   {"minimum_os", "1.0"},
                                   {"size_bytes", 1},
                                   {"sha256", std::string(64, '0')},
                                   {"release_notes", ""},
                                   {"manifest", "a.b.c"},
                                   {"download_url", service.baseURL() + "/files/hub/none.zip"},
                                   {"published_at", 1}});
    }

    void SetUp() override {
        if (std::string(build::demoKeysFolder).empty())
            GTEST_SKIP() << "this build trusts release keys, not demo keys";
        trust = maker::readTrustSet(build::demoKeysFolder);
    }

    test::ProcessResult ctl(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), HALVEXCTL_EXECUTABLE);
        return test::runProcess(arguments, environment(), 60s);
    }

    std::map<std::string, std::string> environment() const {
        return {{"HOME", home.string()},
                {"XDG_DATA_HOME", data.string()},
                {"XDG_CONFIG_HOME", (folder / "config").string()},
                {"XDG_CACHE_HOME", (folder / "cache").string()},
                {"XDG_RUNTIME_DIR", folder.path().string()},
                {"DBUS_SESSION_BUS_ADDRESS", ""},
                {"DISPLAY", ""},
                {"WAYLAND_DISPLAY", ""},
                {"HVX_API_BASE_URL", service.baseURL()}};
    }

    void signInCtl() {
        KeychainStore("com.halvex.hub", platform::makeFileCredentialStore(data / "Halvex" / "Keychain"))
            .write(service.issueToken(), APIClient::credentialAccount);
    }

    // A CLAP-only test build of aurora at `version`.
    JSON publish(const std::string& version) {
        return builder
            .plugin({.version = version,
                     .channel = "beta",
                     .audience = "internal",
                     .minimumHubVersion = "1.0.5",
                     .vst3 = false,
                     .audioUnit = false,
                     .trust = &trust})
            .release;
    }

    void serve(const std::vector<JSON>& releases) {
        const auto product = [](const std::string& slug, const std::string& name, bool owned) {
            return JSON{{"product_id", "prod_" + slug},
                        {"slug", slug},
                        {"name", name},
                        {"bundle_id", "com.halvex." + slug},
                        {"vst3_processor_fuid", "P"},
                        {"vst3_controller_fuid", "C"},
                        {"icon_url", "https://cdn.example/icon.png"},
                        {"owned", owned},
                        {"beta_access", true},
                        {"discovery",
                         {{"category", "Reverb"},
                          {"tagline", "Wide rooms."},
                          {"overview", "."},
                          {"features", JSON::array()}}}};
        };
        service.setCatalog({{"products",
                             {product("aurora", "Aurora", true), product("borealis", "Borealis", false),
                              product("borealis2", "Borealis", false)}},
                            {"releases", releases}});
    }

    // Every item of the installed CLAP bundle, path -> content digest.
    std::map<std::string, std::string> installedBundle() const {
        std::map<std::string, std::string> items;
        const auto bundle = home / ".clap" / "Aurora.clap";
        if (!std::filesystem::exists(bundle)) return items;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(bundle)) {
            items[entry.path().lexically_relative(bundle).string()] =
                entry.is_regular_file() ? platform::sha256Hex(platform::readFile(entry.path(), 1 << 24))
                                        : "folder";
        }
        return items;
    }

    JSON statusOf(const std::string& productID) const {
        const auto result = ctl({"status", "--json"});
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        const auto report = JSON::parse(result.standardOutput);
        for (const auto& product : report["products"]) {
            if (product["product_id"] == productID) return product;
        }
        return nullptr;
    }

    // Replaces xdg-open on the PATH of `environment()`: records the address it was handed and the signal
    // state it started with, one line each.
    std::map<std::string, std::string> withRecordingBrowser() const {
        const auto bin = folder / "bin";
        std::filesystem::create_directories(bin);
        std::ofstream(bin / "xdg-open") << "#!/bin/sh\n{ printf 'address %s\\n' \"$1\"; "
                                           "grep -E '^Sig(Blk|Ign):' /proc/self/status; } >>'"
                                        << browserRecord.string() << "'\n";
        std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms(0755));
        auto variables = environment();
        variables["DISPLAY"] = ":99";
        variables["PATH"] = bin.string() + ":/usr/bin:/bin";
        return variables;
    }

    std::string browserRecorded() const {
        return std::filesystem::exists(browserRecord) ? platform::readFile(browserRecord, 1 << 16) : "";
    }

    std::filesystem::path home = folder / "home";
    std::filesystem::path data = folder / "data";
    std::filesystem::path browserRecord = folder / "browser.txt";
    maker::TrustSet trust;
    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(HalvexCtlTest, HelpUsageAndSignInErrorsHaveTheirExitCodes) {
    for (const auto* command : {"status", "list", "sign-in", "sign-out", "install", "update", "revert",
                                "hold", "release", "uninstall"}) {
        const auto help = ctl({command, "--help"});
        EXPECT_EQ(help.exitStatus, 0) << command;
        EXPECT_NE(help.standardOutput.find(std::string("Usage: halvexctl ") + command), std::string::npos);
        EXPECT_NE(help.standardOutput.find("4  not signed in"), std::string::npos) << command;
    }
    EXPECT_EQ(ctl({"--help"}).exitStatus, 0);

    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {{}, 2, "Name a command."},
        {{"frobnicate"}, 2, "Unknown command “frobnicate”."},
        {{"install"}, 2, "Name a product."},
        {{"update"}, 2, "Add --all to install every update."},
        {{"list", "--scope", "everything"}, 2, "Unknown scope “everything”."},
        {{"status", "--test"}, 2, "Unknown option “--test”."},
        {{"hold", "a", "b"}, 2, "Unexpected argument “b”."},
        {{"list"}, 4, "Sign in to HALVEX HUB first."},
        {{"install", "aurora"}, 4, "Sign in to HALVEX HUB first."},
    };
    for (const auto& c : cases) {
        const auto result = ctl(c.arguments);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.firstLine;
        EXPECT_EQ(result.standardError.substr(0, result.standardError.find('\n')), c.firstLine);
    }

    // The service rejecting a stored sign-in is "not signed in" too, in the service's own words.
    signInCtl();
    service.revokeAllTokens();
    const auto rejected = ctl({"list"});
    EXPECT_EQ(rejected.exitStatus, 4);
    EXPECT_EQ(ctl({"list"}).standardError, "Sign in to HALVEX HUB first.\n");
}

TEST_F(HalvexCtlTest, SignInWaitsForTheBrowserApprovalAndSignOutForgetsIt) {
    serve({});
    test::ChildProcess signIn({HALVEXCTL_EXECUTABLE, "sign-in"}, environment(), std::nullopt,
                              (folder / "sign-in.txt").string());
    std::vector<std::string> codes;
    for (int attempt = 0; attempt < 500 && codes.empty(); ++attempt) {
        std::this_thread::sleep_for(20ms);
        codes = service.pendingUserCodes();
    }
    ASSERT_EQ(codes.size(), 1u);
    service.approve(codes.front());
    for (int attempt = 0; attempt < 500 && signIn.running(); ++attempt) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(signIn.stop(), 0);
    const auto printed = platform::readFile(folder / "sign-in.txt", 1 << 16);
    EXPECT_NE(printed.find("enter the code " + codes.front()), std::string::npos) << printed;
    EXPECT_NE(printed.find("Signed in."), std::string::npos);

    EXPECT_EQ(ctl({"sign-in"}).standardOutput, "This computer is already signed in.\n");
    EXPECT_EQ(ctl({"list"}).exitStatus, 0);
    EXPECT_EQ(ctl({"sign-out"}).exitStatus, 0);
    EXPECT_FALSE(JSON::parse(ctl({"status", "--json"}).standardOutput)["signed_in"].get<bool>());
    EXPECT_EQ(ctl({"list"}).exitStatus, 4);
}

TEST_F(HalvexCtlTest, TheBrowserStartsWithNoSignalBlockedAndOnlyForAWebAddress) {
    serve({});
    const auto variables = withRecordingBrowser();
    {
        test::ChildProcess signIn({HALVEXCTL_EXECUTABLE, "sign-in"}, variables, std::nullopt,
                                  (folder / "sign-in.txt").string());
        ASSERT_TRUE(test::waitUntil([&] { return browserRecorded().find("SigIgn") != std::string::npos; }))
            << browserRecorded();
        const auto codes = service.pendingUserCodes();
        ASSERT_EQ(codes.size(), 1u);
        const auto recorded = browserRecorded();
        const auto address = "address " + service.baseURL() + "/device?user_code=" + codes.front() + "\n";
        ASSERT_EQ(recorded.substr(0, address.size()), address);
        // halvexctl itself waits for SIGINT and SIGTERM with both blocked; its browser must not.
        unsigned long long blocked = ~0ULL;
        unsigned long long ignored = ~0ULL;
        ASSERT_EQ(std::sscanf(recorded.c_str() + address.size(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked,
                              &ignored),
                  2)
            << recorded;
        EXPECT_EQ(blocked, 0u) << recorded;
        EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << recorded;
        EXPECT_EQ(signIn.stop(SIGINT), 1);
    }
    std::filesystem::remove(browserRecord);

    for (const auto* address : {"file:///etc/passwd", "halvex-evil://sign-in?user_code=HVX-1"}) {
        answerSignInWithPage(address);
        auto arguments = std::vector<std::string>{HALVEXCTL_EXECUTABLE, "sign-in"};
        const auto refused = test::runProcess(arguments, variables, 60s);
        EXPECT_EQ(refused.exitStatus, 1) << address;
        EXPECT_EQ(refused.standardError, HalvexError::unsafeSignInAddress().errorDescription() + "\n");
        EXPECT_EQ(refused.standardOutput, "") << "neither address nor code is offered";
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(browserRecorded(), "");
}

// Product names, codes and messages from the service, and versions read from bundles on disk.
TEST_F(HalvexCtlTest, ServiceTextReachesTheTerminalEscapedAndJsonOutputSurvivesBrokenBytes) {
    const std::string hostile =
        "Aurora\x1b]0;owned\x07\xc2\x9b"
        "2J\r\t";
    const std::string escaped =
        "Aurora\\u001b]0;owned\\u0007\\u009b"
        "2J\\u000d\\u0009";
    service.setCatalog({{"products",
                         {{{"product_id", "prod_aurora"},
                           {"slug", "aurora"},
                           {"name", hostile},
                           {"bundle_id", "com.halvex.aurora"},
                           {"vst3_processor_fuid", "P"},
                           {"vst3_controller_fuid", "C"},
                           {"icon_url", "https://cdn.example/icon.png"},
                           {"owned", true},
                           {"discovery",
                            {{"category", "Delay\x1b[2J"},
                             {"tagline", "Wide rooms."},
                             {"overview", "."},
                             {"features", JSON::array()}}}}}},
                        {"releases", JSON::array()}});
    signInCtl();
    const auto clean = [](const std::string& text) {
        if (!isValidUTF8(text)) return false;
        for (std::size_t index = 0; index < text.size(); ++index) {
            const auto byte = static_cast<unsigned char>(text[index]);
            if ((byte < 0x20 && byte != '\n') || byte == 0x7f) return false;
            if (byte == 0xc2 && index + 1 < text.size() && static_cast<unsigned char>(text[index + 1]) < 0xa0)
                return false;
        }
        return true;
    };
    const auto expectEscaped = [&](const std::vector<std::string>& arguments, const std::string& expected) {
        const auto result = ctl(arguments);
        const auto shown = result.standardOutput + result.standardError;
        EXPECT_TRUE(clean(shown)) << arguments.front() << ": " << shown;
        EXPECT_NE(shown.find(expected), std::string::npos) << arguments.front() << ": " << shown;
    };
    // Lines on standard output, error sentences on standard error, and the user's own argument.
    expectEscaped({"list"}, escaped + " (prod_aurora) · Delay\\u001b[2J");
    expectEscaped({"hold", "aurora"}, escaped + " is not installed.");
    expectEscaped({"revert", "prod_aurora"}, "No earlier version of " + escaped);
    expectEscaped({"install", "x\x1b[2Jy"}, "x\\u001b[2Jy");

    // A bundle on disk whose version is no text at all, written by hand: the property list writers
    // refuse such a string.
    const auto bundle = home / ".clap" / "Aurora.clap";
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.halvex.aurora.clap</string>"
           "<key>CFBundleShortVersionString</key><string>1.0.0\xff\x1b[2J</string></dict></plist>\n";
    expectEscaped({"status"}, escaped + ": 1.0.0\\xff\\u001b[2J");

    for (const auto* command : {"list", "status"}) {
        const auto result = ctl({command, "--json"});
        ASSERT_EQ(result.exitStatus, 0) << command << ": " << result.standardError;
        EXPECT_TRUE(clean(result.standardOutput)) << result.standardOutput;
        const auto report = JSON::parse(result.standardOutput);
        ASSERT_EQ(report["products"].size(), 1u) << command;
        EXPECT_EQ(report["products"][0]["name"], hostile) << "the same text, escaped the JSON way";
        EXPECT_EQ(report["products"][0]["installed_version"], "1.0.0\ufffd\x1b[2J") << command;
    }
}

TEST_F(HalvexCtlTest, InstallUpdateRevertHoldReleaseAndUninstall) {
    signInCtl();
    const auto old = publish("1.0.0-beta.1");
    serve({old});

    const auto listed = ctl({"list", "--scope", "access", "--search", "wide", "--json"});
    ASSERT_EQ(listed.exitStatus, 0) << listed.standardError;
    const auto library = JSON::parse(listed.standardOutput);
    EXPECT_EQ(library["scope"], "access");
    ASSERT_EQ(library["products"].size(), 1u);
    EXPECT_EQ(library["products"][0]["product_id"], "prod_aurora");
    EXPECT_EQ(library["products"][0]["installed_version"], nullptr);

    // Names resolve in any letter case; a name two products share does not.
    EXPECT_EQ(ctl({"install", "borealis"}).exitStatus, 2);
    EXPECT_EQ(ctl({"install", "prod_borealis"}).standardError,
              "Purchase this plugin before installing it.\n");
    EXPECT_EQ(ctl({"install", "Nothing"}).standardError, "No product “Nothing” is in your library.\n");

    const auto installed = ctl({"install", "AURORA", "--test"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.standardError;
    // Not a terminal: one plain line per step, no bar.
    EXPECT_EQ(installed.standardOutput.substr(0, installed.standardOutput.find('(')),
              "Downloading Aurora 1.0.0-beta.1 ");
    EXPECT_NE(installed.standardOutput.find("Verifying Aurora 1.0.0-beta.1…\nInstalling Aurora "
                                            "1.0.0-beta.1…\nInstalled Aurora 1.0.0-beta.1.\n"),
              std::string::npos)
        << installed.standardOutput;
    EXPECT_EQ(installed.standardOutput.find('\r'), std::string::npos);
    const auto oldBundle = installedBundle();
    auto aurora = statusOf("prod_aurora");
    EXPECT_EQ(aurora["installed_version"], "1.0.0-beta.1");
    EXPECT_EQ(aurora["channel"], "beta");
    EXPECT_EQ(aurora["held"], false);
    EXPECT_EQ(aurora["complete"], true);

    const auto update = publish("1.0.0-beta.2");
    serve({old, update});
    EXPECT_EQ(statusOf("prod_aurora")["available_update"], "1.0.0-beta.2");
    const auto updated = ctl({"update", "--all"});
    EXPECT_EQ(updated.exitStatus, 0) << updated.standardError;
    EXPECT_NE(updated.standardOutput.find("1 plugin updates installed."), std::string::npos);
    EXPECT_NE(installedBundle(), oldBundle);
    EXPECT_EQ(statusOf("prod_aurora")["revert_version"], "1.0.0-beta.1");

    const auto reverted = ctl({"revert", "aurora"});
    EXPECT_EQ(reverted.exitStatus, 0) << reverted.standardError;
    EXPECT_EQ(installedBundle(), oldBundle);
    aurora = statusOf("prod_aurora");
    EXPECT_EQ(aurora["installed_version"], "1.0.0-beta.1");
    EXPECT_EQ(aurora["held"], true);
    EXPECT_EQ(aurora["held_version"], "1.0.0-beta.1");
    EXPECT_EQ(aurora["available_update"], nullptr) << "a held product is offered no update";

    EXPECT_EQ(ctl({"update", "--all"}).standardOutput, "Every installed plugin is up to date.\n");
    EXPECT_EQ(ctl({"install", "aurora", "--test"}).standardError,
              "Aurora is held at 1.0.0-beta.1. Release the hold to install another version.\n");
    EXPECT_EQ(installedBundle(), oldBundle);
    EXPECT_EQ(ctl({"release", "aurora"}).exitStatus, 0);
    EXPECT_EQ(ctl({"update", "--all"}).exitStatus, 0);
    EXPECT_EQ(statusOf("prod_aurora")["installed_version"], "1.0.0-beta.2");
    EXPECT_EQ(ctl({"hold", "aurora"}).standardOutput, "Held Aurora at 1.0.0-beta.2.\n");

    const auto newBundle = installedBundle();
    const auto uninstalled = ctl({"uninstall", "aurora"});
    EXPECT_EQ(uninstalled.exitStatus, 0) << uninstalled.standardError;
    EXPECT_TRUE(installedBundle().empty());
    const PluginInstaller installer(test::trustingConfiguration(), data / "Halvex");
    EXPECT_FALSE(std::filesystem::exists(installer.receiptURL("com.halvex.aurora")));
    aurora = statusOf("prod_aurora");
    EXPECT_EQ(aurora["installed_version"], nullptr);
    EXPECT_EQ(aurora["revert_version"], "1.0.0-beta.2");
    EXPECT_EQ(ctl({"uninstall", "aurora"}).standardError, "Aurora is not installed.\n");
    EXPECT_EQ(ctl({"revert", "aurora"}).exitStatus, 0);
    EXPECT_EQ(installedBundle(), newBundle);
}

TEST_F(HalvexCtlTest, ARunningHostBlocksUninstallAndStagesAnInstall) {
    signInCtl();
    const auto old = publish("1.0.0-beta.1");
    serve({old});
    ASSERT_EQ(ctl({"install", "aurora", "--test"}).exitStatus, 0);
    const auto update = publish("1.0.0-beta.2");
    serve({old, update});
    ASSERT_EQ(ctl({"release", "aurora"}).standardOutput, "Aurora is not held.\n");

    const auto host = folder / "REAPER.app";
    std::filesystem::create_directories(host / "Contents" / "MacOS");
    platform::writeFileAtomically(
        host / "Contents" / "Info.plist",
        platform::xmlPropertyList(platform::PropertyValue(
            platform::PropertyValue::Dictionary{{"CFBundleIdentifier", std::string("com.cockos.reaper")},
                                                {"CFBundleName", std::string("REAPER")},
                                                {"CFBundleExecutable", std::string("REAPER")}})),
        0644);
    std::filesystem::copy_file("/bin/sleep", host / "Contents" / "MacOS" / "REAPER");
    const auto before = installedBundle();
    {
        test::ChildProcess reaper({(host / "Contents" / "MacOS" / "REAPER").string(), "60"}, {});
        const auto blocked = ctl({"uninstall", "aurora"});
        EXPECT_EQ(blocked.exitStatus, 3);
        EXPECT_EQ(blocked.standardError, "Close these audio applications before installing: REAPER.\n");
        EXPECT_EQ(installedBundle(), before);

        const auto staged = ctl({"update", "--all"});
        EXPECT_EQ(staged.exitStatus, 3) << staged.standardError;
        EXPECT_NE(staged.standardOutput.find(
                      "1 update downloaded and verified. Close your DAW to finish installing."),
                  std::string::npos)
            << staged.standardOutput;
        EXPECT_EQ(statusOf("prod_aurora")["pending_version"], "1.0.0-beta.2");
    }
    EXPECT_EQ(installedBundle(), before);
}

}  // namespace
}  // namespace halvex

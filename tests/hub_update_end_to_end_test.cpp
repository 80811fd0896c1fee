// The whole hub update with real processes: the built executable, copied into the Applications folder of
// a temporary home, is replaced by a newer copy through the finishing mode, re-registers its agent and
// reopens.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

#include "app/agent_lock.h"
#include "core/hub_update/hub_updater.h"
#include "halvex/build_constants.h"
#include "halvex/trust_constants.h"
#include "platform/file_io.h"
#include "platform/process_list.h"
#include "platform/process_signal.h"
#include "tests/support/child_process.h"
#include "tests/support/ci_skip.h"
#include "tests/support/release_builder.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"
#include "tools/maker/maker.h"

namespace halvex {
namespace {

std::string thisMachine() {
#if defined(__aarch64__)
    return "arm64";
#else
    return "x86_64";
#endif
}

// A copy of the built bundle claiming `version`, sealed with the build's demo signing identity.
std::filesystem::path hubBundle(const std::filesystem::path& folder, const std::string& version,
                                std::size_t extraBytes, const maker::Identity& signer) {
    const auto built = std::filesystem::path(HALVEX_HUB_EXECUTABLE).parent_path().parent_path().parent_path();
    const auto bundle = folder / "HALVEX HUB.app";
    std::filesystem::create_directories(folder);
    std::filesystem::copy(built, bundle, std::filesystem::copy_options::recursive);
    auto info = platform::readPropertyList(bundle / "Contents" / "Info.plist");
    auto dictionary = *info.dictionary();
    dictionary["CFBundleShortVersionString"] = version;
    platform::writeFileAtomically(bundle / "Contents" / "Info.plist",
                                  platform::xmlPropertyList(platform::PropertyValue(dictionary)), 0644);
    if (extraBytes > 0) {
        std::mt19937_64 random(7);
        std::string block(1 << 20, '\0');
        std::ofstream file(bundle / "Contents" / "Resources" / "media.bin", std::ios::binary);
        for (std::size_t written = 0; written < extraBytes; written += block.size()) {
            for (std::size_t index = 0; index < block.size(); index += 8) {
                const auto value = random();
                std::memcpy(block.data() + index, &value, 8);
            }
            file.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    maker::sealBundle(bundle, "com.halvex.hub", signer);
    return bundle;
}

class HubUpdateEndToEnd : public test::ServiceFixture {
  protected:
    // A hub image of the built bundle claiming `version`, packaged and served as the latest hub release.
    nlohmann::json publishHub(const maker::TrustSet& trust, const std::string& version,
                              std::size_t extraBytes) {
        const auto image = folder / ("image-" + version);
        hubBundle(image, version, extraBytes, trust.leaf);
        const auto packaged = builder.hub(image, {.version = version,
                                                  .architectures = {thisMachine()},
                                                  .releaseNotes = "End to end.",
                                                  .trust = &trust});
        service.setHubRelease(packaged.release);
        return packaged.release;
    }

    test::ReleaseBuilder builder{folder / "Releases", [this](const auto& path, const auto& archive) {
                                     return service.addFileFromDisk(path, archive);
                                 }};
};

TEST_F(HubUpdateEndToEnd, TheFinisherReplacesTheInstalledHubAndReopensIt) {
    if (std::string(build::demoKeysFolder).empty())
        HALVEX_SKIP_OUTSIDE_CI("this build trusts release keys, not demo keys");

    const auto trust = maker::readTrustSet(build::demoKeysFolder);
    const auto home = folder / "home";
    const auto data = folder / "data";
    const auto config = folder / "config";
    const auto output = folder / "out";
    std::filesystem::create_directories(output);

    const auto installed = hubBundle(home / "Applications", "1.0.0", 0, trust.leaf);
    const auto started = std::chrono::steady_clock::now();
    const auto release = json::decodeRecord<HubRelease>(publishHub(trust, "1.1.0", 100 * 1024 * 1024).dump());
    const auto packagedAt = std::chrono::steady_clock::now();

    // The window's half: prepare against the installed location.
    const HalvexConfiguration configuration{*Url::parse(service.baseURL()),
                                            build::signingTeamID,
                                            build::releasePublicKeyPEM,
                                            {build::codeSigningAnchorPEM}};
    HubUpdater::Options options;
    options.applicationSupport = data / "Halvex";
    options.applicationURL = installed;
    options.applicationsFolder = home / "Applications";
    options.currentVersion = "1.0.0";
    options.isHubUIRunning = [] { return false; };
    HubUpdater updater(configuration, client(),
                       SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM), options);
    const auto ticket = updater.prepare(release);

    // A stand-in window starts the finisher with itself as the parent, waits for "ready" and exits; the
    // finisher, its agent and the reopened hub find their folders below the temporary home.
    const auto script = folder / "run.sh";
    std::ofstream(script) << R"(#!/bin/sh
set -e
sh -c '"$HOME/Applications/HALVEX HUB.app/Contents/MacOS/HalvexHub" --finish-hub-update "$1" $$ > "$2/finisher.out" &
       echo $! > "$2/finisher.pid"
       for i in $(seq 300); do grep -q ready "$2/finisher.out" 2>/dev/null && exit 0; sleep 0.1; done
       exit 1' window "$TICKET" "$OUT"
pid=$(cat "$OUT/finisher.pid")
while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
for i in $(seq 200); do [ -f "$XDG_CONFIG_HOME/autostart/com.halvex.hub.agent.desktop" ] && break; sleep 0.05; done
)";
    const auto result = test::runProcess({"/bin/sh", script.string()},
                                         {{"HOME", home.string()},
                                          {"XDG_DATA_HOME", data.string()},
                                          {"XDG_CONFIG_HOME", config.string()},
                                          {"XDG_CACHE_HOME", (folder / "cache").string()},
                                          {"TICKET", ticket},
                                          {"OUT", output.string()},
                                          {"HVX_API_BASE_URL", service.baseURL()},
                                          {"DBUS_SESSION_BUS_ADDRESS", ""}},
                                         std::chrono::seconds(120));
    const auto finishedAt = std::chrono::steady_clock::now();
    if (const auto agent = app::AgentLock::holder(data / "Halvex"))
        platform::signalProcess(*agent, platform::ProcessSignal::kill);

    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    // The re-registered agent of the new version may have written its own record by now; the finisher
    // writes one only on failure.
    const auto statusFile = data / "Halvex" / "background-status.json";
    if (std::filesystem::exists(statusFile)) {
        const auto status = platform::readFile(statusFile, 4096);
        EXPECT_EQ(status.find("The HUB update did not finish"), std::string::npos) << status;
        EXPECT_EQ(status.find("HUB updated. Open HALVEX HUB"), std::string::npos) << status;
    }
    EXPECT_EQ(platform::readFile(output / "finisher.out", 64), "ready\n");
    EXPECT_EQ(platform::readPropertyList(installed / "Contents" / "Info.plist")
                  .stringMember("CFBundleShortVersionString"),
              "1.1.0");
    std::vector<std::string> listing;
    for (const auto& entry : std::filesystem::directory_iterator(home / "Applications"))
        listing.push_back(entry.path().filename().string());
    EXPECT_EQ(listing, std::vector<std::string>{"HALVEX HUB.app"}) << "no hidden copies remain";
    EXPECT_TRUE(std::filesystem::exists(data / "Halvex" / "Rollback" / "Hub" / "HALVEX-HUB-1.0.0-macOS.zip"));
    EXPECT_TRUE(std::filesystem::is_empty(data / "Halvex" / "HubUpdates"));
    const auto entry = platform::readFile(config / "autostart" / "com.halvex.hub.agent.desktop", 4096);
    EXPECT_NE(entry.find("Exec=\"" + (installed / "Contents/MacOS/HalvexHub").string() +
                         "\" \"--background-agent\""),
              std::string::npos)
        << entry;

    const auto seconds = [](auto duration) { return std::chrono::duration<double>(duration).count(); };
    std::cout << "100 MiB hub image: packaging " << seconds(packagedAt - started)
              << " s, prepare + hand-off + install " << seconds(finishedAt - packagedAt) << " s\n";
}

// The agent that installs a hub update must hand over to the agent of the new bundle: it re-registers the
// bundle it was started from, not the replaced copy its own executable names after the swap.
TEST_F(HubUpdateEndToEnd, TheAgentInstallsAHubUpdateAndTheNewAgentTakesOver) {
    if (std::string(build::demoKeysFolder).empty())
        HALVEX_SKIP_OUTSIDE_CI("this build trusts release keys, not demo keys");
    const auto trust = maker::readTrustSet(build::demoKeysFolder);
    const auto home = folder / "home";
    const auto data = folder / "data";
    const auto installed = hubBundle(home / "Applications", "1.0.0", 0, trust.leaf);
    publishHub(trust, "1.1.0", 0);

    const auto executable = installed / "Contents" / "MacOS" / "HalvexHub";
    test::ChildProcess agent({executable.string(), "--background-agent"},
                             {{"HOME", home.string()},
                              {"XDG_DATA_HOME", data.string()},
                              {"XDG_CONFIG_HOME", (folder / "config").string()},
                              {"XDG_CACHE_HOME", (folder / "cache").string()},
                              {"HVX_API_BASE_URL", service.baseURL()},
                              {"DBUS_SESSION_BUS_ADDRESS", ""}});
    // The first agent ends after the update; a new one, of the new bundle, holds the lock.
    const auto successor = [&]() -> std::optional<platform::ProcessID> {
        const auto holder = app::AgentLock::holder(data / "Halvex");
        if (!holder || *holder == agent.pid()) return std::nullopt;
        return holder;
    };
    const bool handedOver =
        test::waitUntil([&] { return !agent.running() && successor(); }, std::chrono::seconds(60));
    const auto next = successor();
    const auto nextExecutable = next ? platform::processExecutable(*next) : std::nullopt;
    if (next) platform::signalProcess(*next, platform::ProcessSignal::kill);
    ASSERT_TRUE(handedOver) << "no agent of the new bundle started";
    EXPECT_EQ(nextExecutable, std::filesystem::weakly_canonical(executable));
    EXPECT_EQ(platform::readPropertyList(installed / "Contents" / "Info.plist")
                  .stringMember("CFBundleShortVersionString"),
              "1.1.0");
    EXPECT_TRUE(std::filesystem::exists(folder / "config" / "autostart" / "com.halvex.hub.agent.desktop"));
}

}  // namespace
}  // namespace halvex

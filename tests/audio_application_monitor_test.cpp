#include "core/install/audio_application_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

using platform::PropertyValue;

// An application bundle whose main executable is a copy of `program`.
std::filesystem::path writeApplication(const std::filesystem::path& folder, const std::string& name,
                                       PropertyValue::Dictionary info,
                                       const std::filesystem::path& program = "/bin/sleep") {
    const auto bundle = folder / name;
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    info.emplace("CFBundleExecutable", std::string("Host"));
    platform::writeFileAtomically(bundle / "Contents" / "Info.plist",
                                  platform::xmlPropertyList(PropertyValue(info)), 0644);
    std::filesystem::copy_file(program, bundle / "Contents" / "MacOS" / "Host");
    return bundle / "Contents" / "MacOS" / "Host";
}

TEST(AudioApplicationMonitor, CapacityRuleAndAnIncompleteProcessList) {
    EXPECT_EQ(AudioApplicationMonitor::capacityFor(300), 556u);
    EXPECT_EQ(AudioApplicationMonitor::capacityFor(256), 512u);

    std::vector<std::size_t> capacities;
    AudioApplicationMonitor three(
        [&](std::size_t capacity) {
            capacities.push_back(capacity);
            return std::vector<int>(std::min<std::size_t>(capacity, 300), 1);
        },
        [](int) { return std::nullopt; });
    EXPECT_TRUE(three.runningApplications().empty());
    EXPECT_EQ(capacities.back(), 556u);
    EXPECT_EQ(capacities.size(), 2u) << "one count, one fill";

    // A list that fills every buffer it is given (processes appearing faster than they can be listed).
    AudioApplicationMonitor growing(
        [](std::size_t capacity) {
            return std::vector<int>(capacity == std::numeric_limits<std::size_t>::max() ? 10 : capacity, 1);
        },
        [](int) { return std::nullopt; });
    EXPECT_EQ(growing.runningApplications(), std::vector<std::string>{"DAW process check unavailable"});
    AudioApplicationMonitor empty([](std::size_t) { return std::vector<int>{}; },
                                  [](int) { return std::nullopt; });
    EXPECT_EQ(empty.runningApplications(), std::vector<std::string>{"DAW process check unavailable"});
}

TEST(AudioApplicationMonitor, NamesOnlyTheMainExecutablesOfSupportedHosts) {
    test::TemporaryDirectory folder;
    const auto live = writeApplication(folder.path(), "Live.app",
                                       {{"CFBundleIdentifier", std::string("COM.ABLETON.LIVE.Suite")},
                                        {"CFBundleName", std::string("Live")},
                                        {"CFBundleDisplayName", std::string("Ableton Live 12")}});
    const auto nested = writeApplication(folder / "Live.app" / "Contents" / "Helpers", "Helper.app",
                                         {{"CFBundleIdentifier", std::string("com.ableton.live.helper")}});
    std::filesystem::copy_file("/bin/sleep", folder / "Live.app" / "Contents" / "MacOS" / "tool");
    const auto plain = writeApplication(folder.path(), "Plain.app",
                                        {{"CFBundleIdentifier", std::string("com.cockos.reaper")}});
    const auto other = writeApplication(folder.path(), "Editor.app",
                                        {{"CFBundleIdentifier", std::string("com.example.editor")}});

    EXPECT_EQ(AudioApplicationMonitor::audioApplicationName(live), "Ableton Live 12");
    EXPECT_EQ(AudioApplicationMonitor::audioApplicationName(nested), "com.ableton.live.helper");
    EXPECT_EQ(
        AudioApplicationMonitor::audioApplicationName(folder / "Live.app" / "Contents" / "MacOS" / "tool"),
        std::nullopt);
    EXPECT_EQ(AudioApplicationMonitor::audioApplicationName(plain), "com.cockos.reaper");
    EXPECT_EQ(AudioApplicationMonitor::audioApplicationName(other), std::nullopt);
    EXPECT_EQ(AudioApplicationMonitor::audioApplicationName("/sleep"), std::nullopt);
}

TEST(AudioApplicationMonitor, FindsARealRunningHost) {
    test::TemporaryDirectory folder;
    const auto host = writeApplication(
        folder.path(), "REAPER.app",
        {{"CFBundleIdentifier", std::string("com.cockos.reaper")}, {"CFBundleName", std::string("REAPER")}});
    AudioApplicationMonitor monitor;
    const auto before = monitor.runningApplications();
    EXPECT_EQ(std::count(before.begin(), before.end(), "REAPER"), 0);
    test::ChildProcess running({host.string(), "30"}, {});
    std::vector<std::string> names;
    test::waitUntil([&] {
        names = monitor.runningApplications();
        return std::count(names.begin(), names.end(), "REAPER") > 0;
    });
    EXPECT_EQ(std::count(names.begin(), names.end(), "REAPER"), 1);
    running.stop();
    names = monitor.runningApplications();
    EXPECT_EQ(std::count(names.begin(), names.end(), "REAPER"), 0);
}

}  // namespace
}  // namespace halvex

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>

#include "core/foundation/halvex_error.h"
#include "core/install/plugin_installer.h"
#include "core/install/plugin_location.h"
#include "core/library/plugin_format_support.h"
#include "platform/administrator_runner.h"
#include "platform/file_io.h"
#include "platform/process_runner.h"
#include "platform/zip_archive.h"
#include "tests/support/error_text.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

using test::errorText;

struct Entry {
    std::string path;
    mode_t type = AE_IFREG;
    std::string content;  // the data, or the link target
    mode_t permissions = 0644;
    std::string hardlink;
};

// Writes a ZIP with exactly these entries, whatever they claim.
void writeZip(const std::filesystem::path& path, const std::vector<Entry>& entries) {
    archive* writer = archive_write_new();
    archive_write_set_format_zip(writer);
    ASSERT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK);
    for (const auto& item : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.path.c_str());
        archive_entry_set_filetype(entry, item.type);
        archive_entry_set_perm(entry, item.permissions);
        if (!item.hardlink.empty()) archive_entry_set_hardlink(entry, item.hardlink.c_str());
        if (item.type == AE_IFLNK) {
            archive_entry_set_symlink(entry, item.content.c_str());
            archive_entry_set_size(entry, 0);
        } else {
            archive_entry_set_size(entry,
                                   item.type == AE_IFREG ? static_cast<la_int64_t>(item.content.size()) : 0);
        }
        archive_write_header(writer, entry);
        if (item.type == AE_IFREG && !item.content.empty())
            archive_write_data(writer, item.content.data(), item.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
}

class ExpansionTest : public testing::Test {
  protected:
    ExpansionTest() {
        std::filesystem::create_directories(staging);
        std::ofstream(sentinel) << "untouched";
    }

    std::string expand(const std::vector<Entry>& entries) {
        const auto archive = folder / ("archive" + std::to_string(count++) + ".zip");
        writeZip(archive, entries);
        std::filesystem::remove_all(staging);
        std::filesystem::create_directories(staging);
        return errorText([&] { PluginInstaller::expandArchive(archive, staging); });
    }

    test::TemporaryDirectory folder;
    std::filesystem::path staging = folder / "Staging" / "work";
    std::filesystem::path sentinel = folder / "Staging" / "sentinel.txt";
    int count = 0;
};

TEST_F(ExpansionTest, AnOrdinaryBundleExpandsWithSafePermissions) {
    EXPECT_EQ(expand({{"A.vst3/", AE_IFDIR, "", 0755},
                      {"A.vst3/Contents/MacOS/A", AE_IFREG, "engine", 06777},
                      {"A.vst3/Contents/link", AE_IFLNK, "MacOS/A"},
                      {"A.vst3/Contents/up", AE_IFLNK, "../Contents/MacOS"}}),
              "(passed)");
    struct stat status {};
    ASSERT_EQ(::stat((staging / "A.vst3/Contents/MacOS/A").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u) << "setuid, setgid, sticky and group/other write are dropped";
    EXPECT_EQ(std::filesystem::read_symlink(staging / "A.vst3/Contents/link"), "MacOS/A");
}

TEST_F(ExpansionTest, HostileEntriesAreRefusedAndNothingOutsideIsTouched) {
    const std::vector<std::pair<const char*, std::vector<Entry>>> table = {
        {"absolute path", {{"/tmp/halvex-escape", AE_IFREG, "x"}}},
        {"dot dot", {{"A.vst3/../../sentinel.txt", AE_IFREG, "overwritten"}}},
        {"leading dot dot", {{"../sentinel.txt", AE_IFREG, "overwritten"}}},
        {"absolute link", {{"A.vst3/link", AE_IFLNK, "/etc"}}},
        {"link leaving its bundle", {{"A.vst3/link", AE_IFLNK, "../.."}}},
        {"link to a sibling bundle", {{"A.vst3/link", AE_IFLNK, "../B.vst3"}}},
        {"write through a link",
         {{"A.vst3/Contents/", AE_IFDIR, "", 0755},
          {"A.vst3/Contents/self", AE_IFLNK, "."},
          {"A.vst3/Contents/self/../../../sentinel.txt", AE_IFREG, "overwritten"}}},
        {"same name twice", {{"A.vst3/file", AE_IFREG, "x"}, {"A.vst3/file", AE_IFREG, "y"}}},
        {"file over a link", {{"A.vst3/link", AE_IFLNK, "file"}, {"A.vst3/link", AE_IFREG, "y"}}},
    };
    // ZIP cannot carry FIFOs, devices or hard links (the writer stores them as plain files), so those
    // entry kinds never reach the expander from a ZIP; the expander refuses them all the same.
    for (const auto& [name, entries] : table) {
        const auto text = expand(entries);
        EXPECT_TRUE(text.starts_with("Update tool failed: ")) << name << ": " << text;
        EXPECT_EQ(platform::readFile(sentinel, 100), "untouched") << name;
        EXPECT_FALSE(std::filesystem::exists("/tmp/halvex-escape")) << name;
    }
    std::ofstream(folder / "garbage.zip") << "PK\x03\x04 not really";
    EXPECT_TRUE(errorText([&] {
                    PluginInstaller::expandArchive(folder / "garbage.zip", staging);
                }).starts_with("Update tool failed: "));
}

TEST_F(ExpansionTest, CapsStopADecompressionBomb) {
    const auto archive = folder / "bomb.zip";
    writeZip(
        archive,
        {{"A/big", AE_IFREG, std::string(1 << 20, '\0')}, {"A/b", AE_IFREG, "x"}, {"A/c", AE_IFREG, "y"}});
    EXPECT_THROW(platform::expandZip(archive, staging, {.maximumEntries = 100, .maximumTotalBytes = 1000}),
                 platform::ArchiveError);
    std::filesystem::remove_all(staging);
    std::filesystem::create_directories(staging);
    EXPECT_THROW(platform::expandZip(archive, staging, {.maximumEntries = 2, .maximumTotalBytes = 1 << 30}),
                 platform::ArchiveError);
}

TEST(ToolRun, ReportsTheTrimmedStandardErrorOfAFailedTool) {
    EXPECT_EQ(errorText([] { PluginInstaller::run("/bin/sh", {"-c", "exit 0"}); }), "(passed)");
    EXPECT_EQ(errorText([] {
                  PluginInstaller::run("/bin/sh", {"-c", "printf '  \\n bad archive \\n\\n' >&2; exit 3"});
              }),
              "Update tool failed: bad archive");
    // Far more than a pipe holds: the tool must not block on a full pipe.
    EXPECT_EQ(
        errorText([] {
            PluginInstaller::run("/bin/sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' x >&2; exit 1"});
        }).size(),
        std::string("Update tool failed: ").size() + 300000);
    EXPECT_EQ(errorText([] {
                  PluginInstaller::run("/bin/sh", {"-c", "printf '\\377\\376' >&2; exit 1"});
              }),
              "Update tool failed: ");
    EXPECT_THROW(PluginInstaller::run("/nonexistent/tool", {}), std::system_error);
}

// halvexctl blocks SIGINT and SIGTERM on every thread and ignores nothing; an administrator prompt it
// starts must still end on either.
TEST(ToolRun, TheToolStartsWithNoSignalBlockedOrIgnored) {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &interrupts, &previous), 0);
    const auto ignored = std::signal(SIGTERM, SIG_IGN);
    const auto result =
        platform::runTool("/bin/sh", {"-c", "grep -E '^Sig(Blk|Ign):' /proc/self/status >&2; exit 3"});
    std::signal(SIGTERM, ignored);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(result.exitStatus, 3);
    unsigned long long blocked = ~0ULL;
    unsigned long long ignoredSignals = ~0ULL;
    ASSERT_EQ(
        std::sscanf(result.standardError.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked, &ignoredSignals),
        2)
        << result.standardError;
    EXPECT_EQ(blocked, 0u);
    // Signals 1 to 31; the C library keeps the real-time signals it uses itself to itself.
    EXPECT_EQ(ignoredSignals & 0x7fffffffULL, 0u) << result.standardError;
}

class ManagedDirectoryTest : public testing::Test {
  protected:
    std::string ensure(bool allow, const HalvexPluginLocation::ElevationRunner& runner) {
        return errorText([&] { HalvexPluginLocation::ensureManagedDirectory(allow, runner, managed); });
    }

    // Runs the guarded steps with this process's rights, as the administrator prompt would after approval.
    static ElevationResult direct(const std::filesystem::path& folder) {
        const auto result = platform::createFolderAsAdministrator(folder, {});
        return {result.exitStatus, result.standardError};
    }

    test::TemporaryDirectory folder;
    std::filesystem::path managed = folder / "vst3" / "Halvex";
    int prompts = 0;
};

constexpr const char* prefix =
    "Administrator authorization is required to make HALVEX plugins available to every DAW. ";

TEST_F(ManagedDirectoryTest, CreatesTheFolderOnceThroughTheElevatedCommand) {
    std::filesystem::create_directories(managed.parent_path());
    const auto counting = [&](const std::filesystem::path& folder) {
        ++prompts;
        return direct(folder);
    };
    EXPECT_EQ(
        ensure(false, counting),
        std::string(prefix) + "Open HALVEX HUB once to approve the shared VST3 installation directory.");
    EXPECT_EQ(prompts, 0);
    EXPECT_EQ(ensure(true, counting), "(passed)");
    EXPECT_EQ(ensure(true, counting), "(passed)");
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(std::filesystem::status(managed).permissions(), std::filesystem::perms(0755));
}

TEST_F(ManagedDirectoryTest, RefusesLinksFilesAndReportsCancellation) {
    std::filesystem::create_directories(folder / "elsewhere");
    std::filesystem::create_directories(managed.parent_path());
    std::filesystem::create_directory_symlink(folder / "elsewhere", managed);
    EXPECT_EQ(ensure(true, direct), "The global HALVEX VST3 location is not a regular directory.");
    std::filesystem::remove(managed);
    std::ofstream(managed) << "a file";
    EXPECT_EQ(ensure(true, direct), "The global HALVEX VST3 location is not a regular directory.");
    std::filesystem::remove(managed);

    EXPECT_EQ(ensure(true,
                     [](const std::filesystem::path&) {
                         return ElevationResult{126, ""};
                     }),
              std::string(prefix) + "Administrator authorization was cancelled.");
    EXPECT_EQ(ensure(true,
                     [](const std::filesystem::path&) {
                         return ElevationResult{127, "Not authorized"};
                     }),
              std::string(prefix) + "Administrator authorization was cancelled.");
    EXPECT_EQ(ensure(true,
                     [](const std::filesystem::path&) {
                         return ElevationResult{1, "install: cannot create directory\n"};
                     }),
              std::string(prefix) + "install: cannot create directory");
    EXPECT_FALSE(std::filesystem::exists(managed));

    // The folder never becomes command text: quotes, blanks and a "$(…)" are only its name.
    const auto odd = folder / "it's \"$(touch pwned)\" \\ vst3" / "Halvex";
    std::filesystem::create_directories(odd.parent_path());
    EXPECT_EQ(errorText([&] { HalvexPluginLocation::ensureManagedDirectory(true, direct, odd); }),
              "(passed)");
    EXPECT_TRUE(std::filesystem::is_directory(odd));
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_EQ(
        errorText([&] { HalvexPluginLocation::ensureManagedDirectory(true, direct, "relative/Halvex"); }),
        std::string(prefix) + "The administrator request could not be created.");
}

TEST(PluginFormatSupport, CompatibilityTextsAndHostHints) {
    test::TemporaryDirectory folder;
    std::ofstream(folder / "a.zip") << "zip";
    auto release = test::signedRelease(maker::ReleaseSpec{}, folder / "a.zip");
    EXPECT_EQ(PluginFormatSupport::compatibilityText(release), "VST3 for compatible DAWs.");
    release.audioUnit = AudioUnitIdentity{"a", "aufx", "Demo", "Hlvx"};
    release.clap = ClapIdentity{"c", "p"};
    EXPECT_EQ(PluginFormatSupport::compatibilityText(release),
              "AU for Logic Pro, VST3 for compatible DAWs, CLAP for compatible DAWs.");
    release.vst3 = false;
    release.audioUnit.reset();
    EXPECT_EQ(PluginFormatSupport::compatibilityText(release), "CLAP for compatible DAWs.");
    release.clap.reset();
    EXPECT_EQ(PluginFormatSupport::compatibilityText(release), ".");

    const std::string choose = "Bitwig detected. Choose the CLAP version when adding a new plugin instance.";
    const std::string prefer =
        "Bitwig detected. Enable Prefer CLAP over VST in Settings → Locations → Plug-in Locations to prefer "
        "CLAP for new "
        "instances.";
    const std::string reaper = "REAPER detected. Choose the CLAP version when adding a new plugin instance.";
    const std::vector<std::tuple<const char*, const char*, std::optional<std::string>>> table = {
        {"com.cockos.reaper", "6.71", reaper},        {"com.cockos.reaper", "6.70.9", std::nullopt},
        {"com.cockos.reaper", "7", std::nullopt},     {"com.cockos.reaper", "6.71.0.1", std::nullopt},
        {"com.bitwig.studio", "4.2.9", std::nullopt}, {"com.bitwig.studio", "4.3", choose},
        {"com.bitwig.BitwigStudio", "5.0", prefer},   {"com.bitwig.studio", "5.0b1", std::nullopt},
        {"com.bitwig.studio", "5..0", std::nullopt},  {"com.example.daw", "9.0", std::nullopt},
    };
    for (const auto& [bundleID, version, hint] : table) {
        EXPECT_EQ(PluginFormatSupport::recommendation(bundleID, version), hint) << bundleID << " " << version;
    }

    EXPECT_EQ(PluginFormatSupport::installedHostRecommendation({folder.path()}), std::nullopt);
    test::writeBundle(folder.path(), "REAPER.app", {.identifier = "com.cockos.reaper", .version = "7.0"});
    test::writeBundle(folder.path(), "Bitwig Studio.app",
                      {.identifier = "com.bitwig.studio", .version = "4.1"});
    EXPECT_EQ(PluginFormatSupport::installedHostRecommendation({folder / "missing", folder.path()}), reaper)
        << "an old Bitwig gives no hint, so REAPER's applies";
}

}  // namespace
}  // namespace halvex

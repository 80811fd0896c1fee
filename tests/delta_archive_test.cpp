#include "platform/delta_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zstd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stop_token>
#include <system_error>

#include "core/trust/signed_metadata_verifier.h"
#include "platform/file_io.h"
#include "platform/sha256.h"
#include "platform/zip_archive.h"
#include "tests/support/fault_loop.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using platform::DeltaError;
using Kind = DeltaError::Kind;

std::string randomBytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

void writeFile(const fs::path& path, const std::string& bytes, fs::perms mode = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, mode);
}

// Every item's type and permission bits; a link's own mode means nothing.
std::map<std::string, unsigned> modeSnapshot(const fs::path& root) {
    std::map<std::string, unsigned> modes;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &status), 0);
        modes[entry.path().lexically_relative(root).string()] =
            S_ISLNK(status.st_mode) ? S_IFLNK : static_cast<unsigned>(status.st_mode);
    }
    return modes;
}

// The version's plugin binary: version 1.3.0 rewrites a stretch of 1.2.0's and inserts code into it.
std::string binaryOf(const std::string& version) {
    auto binary = randomBytes(512 * 1024, 7);
    if (version != "1.2.0") {
        binary.replace(1000, 200, randomBytes(200, 8));
        binary.insert(300 * 1024, randomBytes(4096, 9));
    }
    return binary;
}

// What every format carries besides its binary: presets, artwork, a link, a setuid helper and a file that
// its group may write (both modes the expansion narrows).
void addResources(const fs::path& bundle) {
    const auto resources = bundle / "Contents" / "Resources";
    writeFile(resources / "Presets" / "Init.preset", "gain=0\nmix=50\n");
    writeFile(resources / "Presets" / "Warm.preset", "gain=3\nmix=70\ntone=warm\n");
    writeFile(resources / "artwork.png", randomBytes(256 * 1024, 11));
    writeFile(resources / "notes.txt", "Aurora Delay\n", fs::perms(0664));
    writeFile(bundle / "Contents" / "MacOS" / "helper", "#!/bin/sh\n", fs::perms(04755));
    fs::create_directory_symlink("Presets", resources / "Factory");
}

// Aurora in three formats; only the version and the binaries differ between versions.
std::vector<fs::path> writeRelease(const fs::path& folder, const std::string& version) {
    const auto binary = binaryOf(version);
    const test::BundleSpec engine{
        .identifier = "com.halvex.aurora", .version = version, .executable = "Aurora", .payload = binary};
    std::vector<fs::path> bundles;
    for (const auto& [name, identifier] : {std::pair("Aurora.vst3", "com.halvex.aurora"),
                                           std::pair("Aurora.component", "com.halvex.aurora.au"),
                                           std::pair("Aurora.clap", "com.halvex.aurora.clap")}) {
        auto spec = engine;
        spec.identifier = identifier;
        const auto bundle = test::writeBundle(folder, name, spec);
        addResources(bundle);
        if (spec.identifier != engine.identifier)
            test::writeSealedBundle(bundle / "Contents" / "Resources", "plugin.bundle", engine);
        maker::sealBundle(bundle, spec.identifier, test::trust().leaf);
        bundles.push_back(bundle);
    }
    return bundles;
}

// Where each format of A lies once installed: each in its own plugin folder.
platform::BaseResolver installedIn(const fs::path& plugins) {
    return [plugins](const std::string& bundle) -> std::optional<fs::path> {
        static const std::map<std::string, std::string> folders = {
            {".vst3", "VST3"}, {".component", "Components"}, {".clap", "CLAP"}};
        const auto folder = folders.find(fs::path(bundle).extension().string());
        if (folder == folders.end()) return std::nullopt;
        return plugins / folder->second / bundle;
    };
}

// Versions 1.2.0 (A) and 1.3.0 (B) packaged and signed, A installed, and the delta from A to B. Made once:
// compressing the binaries is the slow part.
struct ReleasePair {
    test::TemporaryDirectory work;
    maker::PackagedRelease a;
    maker::PackagedRelease b;
    fs::path expandedB = work / "b";
    fs::path installed = work / "plugins";
    fs::path delta = work / "aurora-1.3.0-from-1.2.0.hvxdelta";
    maker::MadeDelta made;

    ReleasePair() {
        maker::ReleaseSpec spec{
            .releaseID = "rel_aurora", .bundleID = "com.halvex.aurora", .version = "1.2.0"};
        spec.bundles = writeRelease(work / "source-a", spec.version);
        a = maker::packageRelease(spec, work / "a.zip", test::trust().service.privatePEM);
        spec.version = "1.3.0";
        spec.bundles = writeRelease(work / "source-b", spec.version);
        b = maker::packageRelease(spec, work / "b.zip", test::trust().service.privatePEM);

        fs::create_directories(work / "a");
        platform::expandZip(a.archive, work / "a");
        fs::create_directories(expandedB);
        platform::expandZip(b.archive, expandedB);
        for (const auto& [name, folder] :
             {std::pair("Aurora.vst3", "VST3"), std::pair("Aurora.component", "Components"),
              std::pair("Aurora.clap", "CLAP")}) {
            fs::create_directories(installed / folder);
            fs::copy(work / "a" / name, installed / folder / name,
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        }
        made = maker::makeDelta(a.archive, a.release, b.archive, delta,
                                "deltas/aurora-1.3.0-from-1.2.0.hvxdelta");
    }
};

const ReleasePair& releasePair() {
    static const ReleasePair pair;
    return pair;
}

TEST(DeltaArchive, BuildsFromTheInstalledBundlesWhatTheFullArchiveExpandsTo) {
    const auto& release = releasePair();
    const auto installed = test::treeSnapshot(release.installed);
    const test::TemporaryDirectory staging;

    const auto applied = platform::applyDelta(release.delta, installedIn(release.installed), staging.path());

    EXPECT_EQ(test::treeSnapshot(staging.path()), test::treeSnapshot(release.expandedB));
    EXPECT_EQ(modeSnapshot(staging.path()), modeSnapshot(release.expandedB));
    EXPECT_EQ(test::treeSnapshot(release.installed), installed);
    // Five binaries changed (each format's and the two wrapped engines); they travel as patches, and the
    // resources are taken from A: the delta is a small fraction of the archive.
    EXPECT_GE(applied.bytesPatched, 5 * binaryOf("1.3.0").size());
    EXPECT_GT(applied.bytesSame, 3 * 256 * 1024);
    EXPECT_EQ(applied.entries, release.made.statistics.entries);
    EXPECT_LT(applied.deltaBytes * 20, fs::file_size(release.b.archive));
}

TEST(DeltaArchive, TheMakersRecordNamesTheDeltaAndTheReleaseItAppliesTo) {
    const auto& release = releasePair();
    const auto verifier = test::trustingVerifier();
    const auto& record = release.made.record;
    EXPECT_EQ(record.fromVersion, "1.2.0");
    EXPECT_EQ(record.fromManifestSHA256, Manifest::payloadDigest(verifier.verifyReleaseManifest(
                                             release.a.release.at("manifest").get<std::string>())));
    EXPECT_EQ(record.sizeBytes, static_cast<std::int64_t>(fs::file_size(release.delta)));
    EXPECT_EQ(record.sha256, platform::sha256HexOfFile(release.delta));

    // B's manifest signs the record; the hub reads it back as written.
    maker::ReleaseSpec spec{.releaseID = "rel_aurora", .bundleID = "com.halvex.aurora", .version = "1.3.0"};
    spec.deltas = {record};
    const auto described = maker::describeRelease(spec, release.b.archive, test::trust().service.privatePEM);
    const auto manifest = json::decodeRecord<Manifest>(
        verifier.verifyReleaseManifest(described.release.at("manifest").get<std::string>()));
    ASSERT_EQ(manifest.deltas.size(), 1u);
    EXPECT_EQ(manifest.deltas[0], (ManifestDelta{record.fromVersion, record.fromManifestSHA256, record.url,
                                                 record.sizeBytes, record.sha256}));

    // A record of another archive would name the wrong base release.
    const test::TemporaryDirectory scratch;
    EXPECT_THROW(
        maker::makeDelta(release.a.archive, release.b.release, release.b.archive, scratch / "d", "d"),
        std::invalid_argument);
}

// A delta file written by hand in the documented layout, for entries the maker never writes.
class CraftedDelta {
  public:
    CraftedDelta& folder(const std::string& path, std::uint16_t mode = 0755) {
        entry(1, path);
        u16(mode);
        return *this;
    }
    CraftedDelta& link(const std::string& path, const std::string& target) {
        entry(3, path);
        text(target);
        return *this;
    }
    // A file carried as one zstd frame (compressed from `bytes` unless given).
    CraftedDelta& file(const std::string& path, const std::string& bytes,
                       std::optional<std::string> frame = {}, std::uint16_t mode = 0644) {
        if (!frame) {
            frame = std::string(ZSTD_compressBound(bytes.size()), '\0');
            frame->resize(ZSTD_compress(frame->data(), frame->size(), bytes.data(), bytes.size(), 3));
        }
        fileHead(path, bytes, 3, mode);
        u64(frame->size());
        data_ += *frame;
        return *this;
    }
    CraftedDelta& patch(const std::string& path, const std::string& bytes, const std::string& basePath,
                        std::uint64_t baseSize) {
        fileHead(path, bytes, 2);
        text(basePath);
        u64(baseSize);
        index_ += std::string(32, '\0');
        u64(1);
        data_ += "x";
        return *this;
    }

    void write(const fs::path& path) const {
        std::string header = "HVXDELTA";
        const auto little = [&](std::uint64_t value, int bytes) {
            for (int index = 0; index < bytes; ++index)
                header.push_back(static_cast<char>(value >> (8 * index)));
        };
        little(1, 4);
        little(0, 4);
        little(4 + index_.size(), 8);
        little(data_.size(), 8);
        std::string count;
        for (int index = 0; index < 4; ++index) count.push_back(static_cast<char>(entries_ >> (8 * index)));
        std::ofstream(path, std::ios::binary) << header << count << index_ << data_;
    }

  private:
    void entry(std::uint8_t type, const std::string& path) {
        ++entries_;
        index_.push_back(static_cast<char>(type));
        text(path);
    }
    void fileHead(const std::string& path, const std::string& bytes, std::uint8_t source,
                  std::uint16_t mode = 0644) {
        entry(2, path);
        u16(mode);
        u64(bytes.size());
        Sha256Bytes digest(bytes);
        index_ += digest.bytes;
        index_.push_back(static_cast<char>(source));
    }
    struct Sha256Bytes {
        explicit Sha256Bytes(const std::string& data) {
            platform::Sha256 hash;
            hash.update(data);
            const auto digest = hash.finish();
            bytes.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
        }
        std::string bytes;
    };
    void u16(std::uint16_t value) { little(value, 2); }
    void u64(std::uint64_t value) { little(value, 8); }
    void text(const std::string& value) {
        u16(static_cast<std::uint16_t>(value.size()));
        index_ += value;
    }
    void little(std::uint64_t value, int bytes) {
        for (int index = 0; index < bytes; ++index) index_.push_back(static_cast<char>(value >> (8 * index)));
    }

    std::uint32_t entries_ = 0;
    std::string index_;
    std::string data_;
};

// A zstd frame of raw blocks with the given window and, unless absent, content size.
std::string rawFrame(std::string_view bytes, int windowLog, bool declaresSize = true) {
    std::string frame = {'\x28',
                         '\xB5',
                         '\x2F',
                         '\xFD',
                         declaresSize ? '\xC0' : '\x00',
                         static_cast<char>((windowLog - 10) << 3)};
    for (int index = 0; declaresSize && index < 8; ++index)
        frame.push_back(static_cast<char>(static_cast<std::uint64_t>(bytes.size()) >> (8 * index)));
    do {
        const auto block = bytes.substr(0, 128 << 10);
        bytes.remove_prefix(block.size());
        const std::uint32_t head =
            (static_cast<std::uint32_t>(block.size()) << 3) | (bytes.empty() ? 1U : 0U);
        frame +=
            std::string{static_cast<char>(head), static_cast<char>(head >> 8), static_cast<char>(head >> 16)};
        frame += block;
    } while (!bytes.empty());
    return frame;
}

struct Fault {
    const char* name;
    // Changes the installed A (a copy) or the delta (a copy) or writes another delta.
    std::function<void(const fs::path& installed, const fs::path& delta)> make;
    Kind kind;
    platform::DeltaLimits limits = {};
};

void truncateTo(const fs::path& file, std::uintmax_t size) {
    fs::resize_file(file, size);
}

void flipByte(const fs::path& file, std::uintmax_t offset) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekg(static_cast<std::streamoff>(offset));
    const char byte = static_cast<char>(stream.get() ^ 0x20);
    stream.seekp(static_cast<std::streamoff>(offset));
    stream.put(byte);
}

TEST(DeltaArchive, RefusesEveryFaultOfTheDeltaOrTheInstalledBundlesWithItsOwnError) {
    const auto& release = releasePair();
    const std::string vst3 = "VST3/Aurora.vst3/Contents/";
    const auto crafted = [](const std::function<void(CraftedDelta&)>& fill) {
        return [fill](const fs::path&, const fs::path& delta) {
            CraftedDelta crafted;
            fill(crafted);
            crafted.write(delta);
        };
    };
    const auto bundle = [](CraftedDelta& delta) -> CraftedDelta& {
        return delta.folder("Aurora.vst3").folder("Aurora.vst3/Contents");
    };
    const std::vector<Fault> faults = {
        {"the user changed a patch's base",
         [&](const fs::path& i, const fs::path&) { flipByte(i / vst3 / "MacOS/Aurora", 5000); },
         Kind::baseChanged},
        {"the user changed an unchanged file",
         [&](const fs::path& i, const fs::path&) { flipByte(i / vst3 / "Resources/artwork.png", 100); },
         Kind::baseChanged},
        {"the user shortened a file",
         [&](const fs::path& i, const fs::path&) {
             truncateTo(i / vst3 / "Resources/Presets/Init.preset", 3);
         },
         Kind::baseChanged},
        {"a base file is missing",
         [&](const fs::path& i, const fs::path&) { fs::remove(i / vst3 / "Resources/Presets/Warm.preset"); },
         Kind::baseMissing},
        {"a base file is a link now",
         [&](const fs::path& i, const fs::path&) {
             fs::remove(i / vst3 / "Resources/artwork.png");
             fs::create_symlink("notes.txt", i / vst3 / "Resources/artwork.png");
         },
         Kind::baseMissing},
        {"a base bundle is not installed",
         [](const fs::path& i, const fs::path&) { fs::remove_all(i / "Components"); }, Kind::baseMissing},
        {"truncated in the header", [](const fs::path&, const fs::path& d) { truncateTo(d, 20); },
         Kind::damaged},
        {"truncated in the index", [](const fs::path&, const fs::path& d) { truncateTo(d, 60); },
         Kind::damaged},
        {"truncated in the data",
         [](const fs::path&, const fs::path& d) { truncateTo(d, fs::file_size(d) - 1); }, Kind::damaged},
        {"a damaged frame", [](const fs::path&, const fs::path& d) { flipByte(d, fs::file_size(d) - 2); },
         Kind::damaged},
        {"bytes appended", [](const fs::path&, const fs::path& d) { std::ofstream(d, std::ios::app) << "x"; },
         Kind::damaged},
        {"another file", [](const fs::path&, const fs::path& d) { std::ofstream(d) << std::string(64, 'P'); },
         Kind::damaged},
        {"a path with ..",
         crafted([&](CraftedDelta& d) { bundle(d).file("Aurora.vst3/Contents/../../escape", "x"); }),
         Kind::unsafeEntry},
        {"an absolute path", crafted([](CraftedDelta& d) { d.folder("/tmp"); }), Kind::unsafeEntry},
        {"a link out of its bundle",
         crafted([&](CraftedDelta& d) { bundle(d).link("Aurora.vst3/Contents/out", "../../x"); }),
         Kind::unsafeEntry},
        {"a link to an absolute path",
         crafted([&](CraftedDelta& d) { bundle(d).link("Aurora.vst3/Contents/out", "/etc"); }),
         Kind::unsafeEntry},
        {"a write through a link", crafted([&](CraftedDelta& d) {
             bundle(d).link("Aurora.vst3/Contents/L", ".").file("Aurora.vst3/Contents/L/x", "x");
         }),
         Kind::unsafeEntry},
        {"a top-level file", crafted([](CraftedDelta& d) { d.file("escape", "x"); }), Kind::unsafeEntry},
        {"entries out of order", crafted([](CraftedDelta& d) { d.folder("B.vst3").folder("A.vst3"); }),
         Kind::damaged},
        {"a zstd bomb", crafted([&](CraftedDelta& d) {
             bundle(d).file("Aurora.vst3/Contents/bomb", std::string(64 << 20, '\0'));
         }),
         Kind::tooLarge},
        // A frame small enough to decode straight into the output needs no window of its own.
        {"a frame demanding a 256 MiB window", crafted([&](CraftedDelta& d) {
             const std::string bytes(2 << 20, 'x');
             bundle(d).file("Aurora.vst3/Contents/x", bytes, rawFrame(bytes, 28));
         }),
         Kind::tooLarge},
        {"a frame without its size", crafted([&](CraftedDelta& d) {
             bundle(d).file("Aurora.vst3/Contents/x", "abc", rawFrame("abc", 17, false));
         }),
         Kind::damaged},
        {"too many entries",
         crafted([&](CraftedDelta& d) { bundle(d).folder("Aurora.vst3/Contents/MacOS"); }),
         Kind::tooLarge,
         {.maximumEntries = 2}},
        {"a file beyond the size limit",
         crafted([&](CraftedDelta& d) { bundle(d).file("Aurora.vst3/Contents/x", std::string(17, 'x')); }),
         Kind::tooLarge,
         {.maximumFileBytes = 16}},
        {"a release beyond the total limit",
         crafted([&](CraftedDelta& d) {
             bundle(d)
                 .file("Aurora.vst3/Contents/x", std::string(16, 'x'))
                 .file("Aurora.vst3/Contents/y", std::string(16, 'y'));
         }),
         Kind::tooLarge,
         {.maximumTotalBytes = 30}},
        {"a patch beyond the memory limit",
         crafted([&](CraftedDelta& d) {
             bundle(d).patch("Aurora.vst3/Contents/x", "x", "Aurora.vst3/Contents/Info.plist", 1 << 20);
         }),
         Kind::tooLarge,
         {.maximumPatchBytes = 1 << 19}},
        {"an index beyond its limit",
         [](const fs::path&, const fs::path&) {},
         Kind::tooLarge,
         {.maximumIndexBytes = 64}},
    };
    for (const auto& fault : faults) {
        const test::TemporaryDirectory scratch(test::TemporaryDirectory::Medium::memory);
        fs::copy(release.installed, scratch / "plugins",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::copy_file(release.delta, scratch / "delta");
        fault.make(scratch / "plugins", scratch / "delta");
        const auto installed = test::treeSnapshot(scratch / "plugins");
        fs::create_directories(scratch / "outer" / "staging");

        try {
            platform::applyDelta(scratch / "delta", installedIn(scratch / "plugins"),
                                 scratch / "outer" / "staging", fault.limits);
            ADD_FAILURE() << fault.name << ": built";
        } catch (const DeltaError& error) {
            EXPECT_EQ(error.kind(), fault.kind) << fault.name << ": " << error.what();
        }
        EXPECT_EQ(test::treeSnapshot(scratch / "plugins"), installed) << fault.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "outer"), fs::directory_iterator()), 1)
            << fault.name;
        for (const auto& entry : fs::recursive_directory_iterator(scratch / "outer" / "staging")) {
            if (!entry.is_symlink()) continue;
            const auto target =
                fs::weakly_canonical(entry.path()).lexically_relative(scratch / "outer" / "staging");
            EXPECT_NE(*target.begin(), "..") << fault.name << ": " << entry.path();
        }
    }
}

TEST(DeltaArchive, RefusesAHostileIndexBeforeWritingAnything) {
    const test::TemporaryDirectory scratch;
    CraftedDelta()
        .folder("Aurora.vst3")
        .folder("Aurora.vst3/Contents")
        .file("Aurora.vst3/Contents/fine", "fine")
        .link("Aurora.vst3/Contents/out", "../../x")
        .write(scratch / "delta");
    fs::create_directory(scratch / "staging");
    EXPECT_THROW(platform::applyDelta(scratch / "delta", {}, scratch / "staging"), DeltaError);
    EXPECT_TRUE(fs::is_empty(scratch / "staging"));
}

TEST(DeltaArchive, AppliesModesAsTheArchiveExpansionDoes) {
    const test::TemporaryDirectory scratch;
    CraftedDelta()
        .folder("Aurora.vst3", 07777)
        .file("Aurora.vst3/helper", "#!/bin/sh\n", std::nullopt, 06777)
        .file("Aurora.vst3/notes", "notes\n", std::nullopt, 0666)
        .write(scratch / "delta");
    fs::create_directory(scratch / "staging");
    platform::applyDelta(scratch / "delta", {}, scratch / "staging");
    writeFile(scratch / "zip-source" / "Aurora.vst3" / "helper", "#!/bin/sh\n", fs::perms(06777));
    writeFile(scratch / "zip-source" / "Aurora.vst3" / "notes", "notes\n", fs::perms(0666));
    fs::permissions(scratch / "zip-source" / "Aurora.vst3", fs::perms(07777));
    platform::createZip({scratch / "zip-source" / "Aurora.vst3"}, scratch / "release.zip");
    fs::create_directory(scratch / "expanded");
    platform::expandZip(scratch / "release.zip", scratch / "expanded");
    EXPECT_EQ(modeSnapshot(scratch / "staging"), modeSnapshot(scratch / "expanded"));
}

TEST(DeltaArchive, FilesBeyondThePatchLimitOrTooDenseForTheRatioLimitStillBuild) {
    const test::TemporaryDirectory scratch;
    writeFile(scratch / "a" / "Aurora.vst3" / "Contents" / "MacOS" / "Aurora", binaryOf("1.2.0"));
    writeFile(scratch / "b" / "Aurora.vst3" / "Contents" / "MacOS" / "Aurora", binaryOf("1.3.0"));
    writeFile(scratch / "b" / "Aurora.vst3" / "Contents" / "Resources" / "silence-short.raw",
              std::string(128 << 10, '\0'));
    writeFile(scratch / "b" / "Aurora.vst3" / "Contents" / "Resources" / "silence-long.raw",
              std::string(1 << 20, '\0'));
    // The binary is too large to patch; the silences (one held in memory, one streamed) exceed the ratio.
    const platform::DeltaOptions options{
        .compressionLevel = 3,
        .limits = {.maximumPatchBytes = 256 << 10, .compressionRatioFloorBytes = 16 << 10}};

    const auto made = platform::createDelta(scratch / "a", scratch / "b", scratch / "delta", options);
    fs::create_directory(scratch / "staging");
    const auto applied = platform::applyDelta(
        scratch / "delta", [&](const std::string& name) { return std::optional(scratch / "a" / name); },
        scratch / "staging", options.limits);

    EXPECT_EQ(test::treeSnapshot(scratch / "staging"), test::treeSnapshot(scratch / "b"));
    EXPECT_EQ(made.bytesPatched + applied.bytesPatched, 0u);
    EXPECT_GT(applied.deltaBytes, (1 << 20) + (128 << 10));
}

TEST(DeltaArchive, EveryFolderFileAndLinkItCreatesPassesAFaultPoint) {
    const auto& release = releasePair();
    for (int point = 1;; ++point) {
        ASSERT_LT(point, 1000);
        const test::TemporaryDirectory staging(test::TemporaryDirectory::Medium::memory);
        const test::FailingOperation failing(point, EIO);
        try {
            const auto applied =
                platform::applyDelta(release.delta, installedIn(release.installed), staging.path());
            EXPECT_FALSE(failing.reached());
            EXPECT_EQ(static_cast<std::uint64_t>(point - 1), applied.entries);
            break;
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EIO) << point;
            EXPECT_TRUE(failing.reached()) << point;
        }
    }
}

TEST(DeltaArchive, StopsWhenAsked) {
    const auto& release = releasePair();
    const test::TemporaryDirectory staging;
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(platform::applyDelta(release.delta, installedIn(release.installed), staging.path(), {},
                                      stop.get_token()),
                 platform::DeltaCancelled);
    EXPECT_TRUE(fs::is_empty(staging.path()));
}

}  // namespace
}  // namespace halvex

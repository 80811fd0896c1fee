// Hostile delta files applied over a small installed release in a temporary folder: building may refuse,
// but nothing may appear outside the destination, the installed release must stay as it was, and no link
// inside the destination may lead out of it. Any other error than DeltaError is a fault too: every name
// and link the index may hold is one the file system accepts. The seeds in fuzz/corpus/delta are deltas from
// writeBase's release to a few later versions of it.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "fuzz/stays_inside.h"
#include "platform/delta_archive.h"

namespace fs = std::filesystem;

namespace {

// The installed release every input is applied to.
std::map<std::string, std::string> baseFiles() {
    std::string binary(4096, '\0');
    for (std::size_t index = 0; index < binary.size(); ++index)
        binary[index] = static_cast<char>((index * 31 + index / 7) % 251);
    return {{"Aurora.vst3/Contents/Info.plist", "<plist><string>1.0.0</string></plist>\n"},
            {"Aurora.vst3/Contents/MacOS/Aurora", binary},
            {"Aurora.vst3/Contents/Resources/Presets/Init.preset", "gain=0\nmix=50\n"},
            {"Aurora.vst3/Contents/Resources/notes.txt", "Aurora Delay\n"}};
}

void writeBase(const fs::path& folder) {
    for (const auto& [path, bytes] : baseFiles()) {
        fs::create_directories((folder / path).parent_path());
        std::ofstream(folder / path, std::ios::binary) << bytes;
    }
    fs::create_directory_symlink("Presets", folder / "Aurora.vst3/Contents/Resources/Factory");
}

const fs::path& workFolder() {
    static const fs::path folder = [] {
        const char* base = std::getenv("TMPDIR");
        fs::path root =
            fs::path(base && *base ? base : "/tmp") / ("delta-fuzz-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "outer" / "inside");
        writeBase(root / "base");
        return root;
    }();
    return folder;
}

using halvex::fuzz::staysInside;

bool baseUnchanged(const fs::path& base) {
    static const auto expected = baseFiles();
    for (const auto& [path, bytes] : expected) {
        std::ifstream file(base / path, std::ios::binary);
        const std::string read((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (read != bytes) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& root = workFolder();
    const auto delta = root / "input.hvxdelta";
    const auto base = root / "base";
    const auto outer = root / "outer";
    const auto inside = outer / "inside";
    std::string bytes(reinterpret_cast<const char*>(data), size);
    // Mutations that grow or shrink the data section would mostly end at the length check; the length the
    // header declares is made to fit, so they reach the frames.
    if (bytes.size() >= 32) {
        std::uint64_t indexBytes = 0;
        for (int index = 0; index < 8; ++index)
            indexBytes |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[16 + index]))
                          << (8 * index);
        if (indexBytes <= bytes.size() - 32) {
            const std::uint64_t dataBytes = bytes.size() - 32 - indexBytes;
            for (int index = 0; index < 8; ++index)
                bytes[24 + index] = static_cast<char>(dataBytes >> (8 * index));
        }
    }
    std::ofstream(delta, std::ios::binary | std::ios::trunc) << bytes;
    const halvex::platform::DeltaLimits limits{.maximumIndexBytes = 64 * 1024,
                                               .maximumEntries = 256,
                                               .maximumFileBytes = 1 << 20,
                                               .maximumTotalBytes = 4 << 20,
                                               .maximumPatchBytes = 256 * 1024,
                                               .maximumWindowLog = 20};
    try {
        halvex::platform::applyDelta(
            delta, [&](const std::string& bundle) { return std::optional(base / bundle); }, inside, limits);
    } catch (const halvex::platform::DeltaError&) {
    }
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path() != delta && entry.path() != outer && entry.path() != base) std::abort();
    }
    for (const auto& entry : fs::directory_iterator(outer)) {
        if (entry.path() != inside) std::abort();
    }
    if (!fs::is_directory(fs::symlink_status(inside)) || !staysInside(inside) || !baseUnchanged(base))
        std::abort();
    fs::remove_all(inside);
    fs::create_directory(inside);
    return 0;
}

// Hostile ZIP archives expanded into a temporary folder: expansion may refuse, but nothing may appear
// outside the destination folder, and no link inside it may lead out of it.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/stays_inside.h"
#include "platform/zip_archive.h"

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
    static const fs::path folder = [] {
        const char* base = std::getenv("TMPDIR");
        fs::path root = fs::path(base && *base ? base : "/tmp") / ("zip-fuzz-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "outer" / "inside");
        return root;
    }();
    return folder;
}

using halvex::fuzz::staysInside;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& root = workFolder();
    const auto archive = root / "archive.zip";
    const auto outer = root / "outer";
    const auto inside = outer / "inside";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        halvex::platform::expandZip(archive, inside, {.maximumEntries = 256, .maximumTotalBytes = 1 << 20});
    } catch (const halvex::platform::ArchiveError&) {
    }
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path() != archive && entry.path() != outer) std::abort();
    }
    for (const auto& entry : fs::directory_iterator(outer)) {
        if (entry.path() != inside) std::abort();
    }
    if (!fs::is_directory(fs::symlink_status(inside)) || !staysInside(inside)) std::abort();
    fs::remove_all(inside);
    fs::create_directory(inside);
    return 0;
}

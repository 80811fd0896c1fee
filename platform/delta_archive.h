#pragma once

// Delta files: version B of a release described as the changes from version A, so that B's bundles can
// be built from A's installed files plus a small download. Compression is zstd's (libzstd); reading
// treats the delta and A's files as hostile, like expandZip treats an archive.
//
// Layout (integers little-endian, fixed width; digests are 32 raw bytes of SHA-256):
//
//   header (32 bytes)
//     magic          8 bytes  "HVXDELTA"
//     version        u32      1
//     flags          u32      0 (any other value is refused)
//     index bytes    u64      length of the index that follows
//     data bytes     u64      length of the data section after the index
//   The file is exactly 32 + index bytes + data bytes long.
//
//   index
//     entry count    u32
//     entries, each:
//       type         u8       1 folder, 2 file, 3 link
//       path         u16 length + bytes: relative to the release root, "/"-separated, first component the
//                    top-level bundle; no empty, "." or ".." components, no NUL, names of at most 255
//                    bytes, at most 1024 bytes in all
//       folder:      mode u16
//       link:        target u16 length + bytes (relative, at most 1024 bytes, resolved from the link's
//                    folder and staying inside its top-level bundle)
//       file:        mode u16, size u64, digest of B's bytes, source u8 and its fields:
//         1 same     base path (u16 length + bytes): A's file with exactly these bytes
//         2 patch    base path, base size u64, base digest, payload bytes u64: a zstd frame made with A's
//                    file as its reference prefix (long-distance matching, window covering both files)
//         3 new      payload bytes u64: a zstd frame of B's bytes
//   Entries are in strictly ascending byte order of their paths; every top-level entry is a folder and
//   every other entry's parent is a folder listed before it. Base paths follow the same path rules; their
//   first component names A's bundle, which the reader locates through its BaseResolver.
//
//   data section: the payloads of patch and new entries, in index order, back to back. Each payload is
//   exactly one zstd frame that declares its content size, which equals the entry's size.
//
// Modes are applied as expandZip applies them: setuid/setgid/sticky bits and group/other write
// permission are dropped, folders are created with the owner's full access and the process's umask.
//
// Bounds (DeltaLimits) and why:
//   - index bytes and entry count: the index is read and checked whole before anything is written;
//   - per-file and total output: like ExpansionLimits, a delta cannot fill the disk;
//   - compression ratio of new entries: a small frame cannot expand into a huge file (a zstd bomb);
//     small files are exempt below a floor, where a bomb cannot do harm;
//   - memory: a new frame may demand a window of at most 2^maximumWindowLog bytes, and the decoder keeps
//     no more than the smaller of that window and the file's size. A patch keeps its whole base and up to
//     its whole result in memory (zstd's reference prefix must be contiguous), so both are capped by
//     maximumPatchBytes; larger files travel as new entries or unchanged. Peak memory is therefore about
//     max(2^maximumWindowLog, 2 * maximumPatchBytes) plus fixed buffers.
//
// Every file written is checked against its digest as its bytes pass, and every base file's size and
// digest against the index as it is read.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

namespace halvex::platform {

class DeltaError : public std::runtime_error {
  public:
    enum class Kind {
        damaged,      // not a delta of this format, truncated, or its data does not produce B's bytes
        unsafeEntry,  // a path or link that could reach outside its bundle, or a write through a link
        tooLarge,     // beyond a DeltaLimits bound
        baseMissing,  // A's bundle or one of its files is not where the delta needs it
        baseChanged,  // A's file differs from the one the delta was made from
    };
    DeltaError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// Thrown by applyDelta when its stop token is triggered.
class DeltaCancelled : public std::runtime_error {
  public:
    DeltaCancelled() : std::runtime_error("Building from the delta was cancelled.") {}
};

struct DeltaLimits {
    std::uint64_t maximumIndexBytes = 32ULL * 1024 * 1024;
    std::uint64_t maximumEntries = 200'000;
    std::uint64_t maximumFileBytes = 4ULL * 1024 * 1024 * 1024;
    std::uint64_t maximumTotalBytes = 16ULL * 1024 * 1024 * 1024;
    std::uint64_t maximumPatchBytes = 128ULL * 1024 * 1024;
    int maximumWindowLog = 27;
    // A new entry may expand to at most ratio * its payload, or to the floor, whichever is larger.
    std::uint64_t maximumCompressionRatio = 1000;
    std::uint64_t compressionRatioFloorBytes = 1024 * 1024;
};

struct DeltaStatistics {
    std::uint64_t entries = 0;  // folders, files and links of B
    std::uint64_t bytesSame = 0;
    std::uint64_t bytesPatched = 0;
    std::uint64_t bytesNew = 0;
    std::uint64_t deltaBytes = 0;  // the delta file's size
};

struct DeltaOptions {
    int compressionLevel = 19;
    // What the delta must stay within so that a reader with these limits accepts it.
    DeltaLimits limits = {};
};

// Writes a delta from release root `from` (A's top-level bundles as its archive expands) to release root
// `to` (B's), replacing `delta` atomically. B's top-level items must be folders holding only files,
// folders and links that stay inside them. Throws DeltaError (B exceeds the limits or holds an unsafe
// item) or std::system_error.
DeltaStatistics createDelta(const std::filesystem::path& from, const std::filesystem::path& to,
                            const std::filesystem::path& delta, const DeltaOptions& options = {});

// The folder where A's top-level bundle of this name lies, or nothing when it is not there.
using BaseResolver = std::function<std::optional<std::filesystem::path>(const std::string& bundleName)>;

// Builds B's release root below `destination`, which must exist and hold none of B's names: byte for
// byte and mode for mode what expandZip gives for B's archive. The index is checked whole before the
// first write; a failure leaves what was built so far for the caller to remove. Throws DeltaError for a
// fault of the delta or of A's files, DeltaCancelled, or std::system_error when reading or writing
// fails. Every folder, file and link it creates passes a fault point first.
DeltaStatistics applyDelta(const std::filesystem::path& delta, const BaseResolver& resolveBase,
                           const std::filesystem::path& destination, const DeltaLimits& limits = {},
                           std::stop_token stop = {});

}  // namespace halvex::platform

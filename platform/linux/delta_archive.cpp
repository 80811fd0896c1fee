#include "platform/delta_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace halvex::platform {

namespace {

using Digest = Sha256::Digest;
using Kind = DeltaError::Kind;

constexpr std::array<char, 8> magic = {'H', 'V', 'X', 'D', 'E', 'L', 'T', 'A'};
constexpr std::uint32_t formatVersion = 1;
constexpr std::size_t headerBytes = 32;
// Far beyond any bundle's paths, and within what every file system accepts (names of 255 bytes).
constexpr std::size_t maximumPathBytes = 1024;
constexpr std::size_t maximumNameBytes = 255;
// zstd's block size; small enough to stay in the processor's cache while it is read, hashed and written
// (a copy in 1 MiB pieces took twice as long).
constexpr std::size_t chunkBytes = 128 * 1024;
// zstd's frame format: the longest frame header, and the range of window sizes (as powers of two).
constexpr std::size_t frameHeaderMaximumBytes = 18;
constexpr int windowLogMinimum = 10;
constexpr int windowLogMaximum = 31;
// What the compression levels choose at most without a window of their own.
constexpr int levelWindowLogMaximum = 27;

enum class EntryType : std::uint8_t { folder = 1, file = 2, link = 3 };
enum class Source : std::uint8_t { same = 1, patch = 2, fresh = 3 };

struct Entry {
    EntryType type = EntryType::folder;
    std::string path;
    std::uint16_t mode = 0;
    std::string target;
    std::uint64_t size = 0;
    Digest digest{};
    Source source = Source::fresh;
    std::string basePath;
    std::uint64_t baseSize = 0;
    Digest baseDigest{};
    std::uint64_t payloadBytes = 0;
};

[[noreturn]] void fail(Kind kind, const std::string& message) {
    throw DeltaError(kind, message);
}

struct CompressionContextFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DecompressionContextFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string_view firstComponent(std::string_view path) {
    return path.substr(0, path.find('/'));
}

// Relative, "/"-separated, every component a plain name.
void checkPath(std::string_view path) {
    if (path.empty() || path.size() > maximumPathBytes)
        fail(Kind::unsafeEntry, "The delta holds an invalid path.");
    if (path.front() == '/') fail(Kind::unsafeEntry, "The delta holds an absolute path.");
    if (path.find('\0') != std::string_view::npos)
        fail(Kind::unsafeEntry, "The delta holds an invalid path.");
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto part = path.substr(start, end - start);
        if (part == "..") fail(Kind::unsafeEntry, "The delta holds a path that leaves the destination.");
        if (part.empty() || part == "." || part.size() > maximumNameBytes)
            fail(Kind::unsafeEntry, "The delta holds an invalid path.");
        start = end + 1;
    }
}

// Resolved lexically from the link's folder, the target must stay inside the link's top-level folder
// (the rule expandZip applies).
void checkLinkTarget(std::string_view path, std::string_view target) {
    if (target.empty() || target.front() == '/' || target.size() > maximumPathBytes ||
        target.find('\0') != std::string_view::npos) {
        fail(Kind::unsafeEntry, "The delta holds a link that leaves its bundle.");
    }
    std::size_t depth = static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
    std::size_t start = 0;
    while (start <= target.size()) {
        const auto end = std::min(target.find('/', start), target.size());
        const auto part = target.substr(start, end - start);
        if (part == "..") {
            if (depth <= 1) fail(Kind::unsafeEntry, "The delta holds a link that leaves its bundle.");
            --depth;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
}

class IndexWriter {
  public:
    void u8(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
    void u16(std::uint16_t value) { little(value, 2); }
    void u32(std::uint32_t value) { little(value, 4); }
    void u64(std::uint64_t value) { little(value, 8); }
    void text(const std::string& value) {
        u16(static_cast<std::uint16_t>(value.size()));
        bytes_ += value;
    }
    void digest(const Digest& value) {
        bytes_.append(reinterpret_cast<const char*>(value.data()), value.size());
    }
    const std::string& bytes() const { return bytes_; }

  private:
    void little(std::uint64_t value, int count) {
        for (int index = 0; index < count; ++index)
            bytes_.push_back(static_cast<char>((value >> (8 * index)) & 0xFF));
    }
    std::string bytes_;
};

class IndexReader {
  public:
    explicit IndexReader(std::string_view bytes) : rest_(bytes) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    std::string_view text() { return take(u16()); }
    Digest digest() {
        Digest value{};
        std::memcpy(value.data(), take(value.size()).data(), value.size());
        return value;
    }
    bool empty() const { return rest_.empty(); }
    std::size_t remaining() const { return rest_.size(); }

  private:
    std::string_view take(std::size_t count) {
        if (rest_.size() < count) fail(Kind::damaged, "The delta's index is cut short.");
        const auto part = rest_.substr(0, count);
        rest_.remove_prefix(count);
        return part;
    }
    std::uint64_t little(std::size_t count) {
        const auto part = take(count);
        std::uint64_t value = 0;
        for (std::size_t index = 0; index < count; ++index)
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(part[index])) << (8 * index);
        return value;
    }
    std::string_view rest_;
};

void encodeEntry(IndexWriter& writer, const Entry& entry) {
    writer.u8(static_cast<std::uint8_t>(entry.type));
    writer.text(entry.path);
    if (entry.type == EntryType::link) {
        writer.text(entry.target);
        return;
    }
    writer.u16(entry.mode);
    if (entry.type == EntryType::folder) return;
    writer.u64(entry.size);
    writer.digest(entry.digest);
    writer.u8(static_cast<std::uint8_t>(entry.source));
    if (entry.source != Source::fresh) writer.text(entry.basePath);
    if (entry.source == Source::patch) {
        writer.u64(entry.baseSize);
        writer.digest(entry.baseDigest);
    }
    if (entry.source != Source::same) writer.u64(entry.payloadBytes);
}

std::uint16_t readMode(IndexReader& reader) {
    const auto mode = reader.u16();
    if (mode > 07777) fail(Kind::damaged, "The delta's index holds an invalid mode.");
    return mode;
}

void checkBasePath(std::string_view path) {
    checkPath(path);
    if (path.find('/') == std::string_view::npos)
        fail(Kind::damaged, "The delta names a bundle as a base file.");
}

// Checks the whole index against the format's rules and the limits; nothing is written before this passes.
std::vector<Entry> parseIndex(std::string_view index, std::uint64_t dataBytes, const DeltaLimits& limits) {
    IndexReader reader(index);
    const std::uint64_t count = reader.u32();
    if (count > limits.maximumEntries) fail(Kind::tooLarge, "The delta holds too many entries.");
    // The smallest entry takes 6 bytes: a hostile count cannot reserve more than the index could hold.
    std::vector<Entry> entries;
    entries.reserve(std::min<std::uint64_t>(count, reader.remaining() / 6));
    std::unordered_set<std::string_view> folders;
    std::string_view previous;
    std::uint64_t totalBytes = 0;
    std::uint64_t payloadBytes = 0;
    const std::uint64_t ratio = std::max<std::uint64_t>(limits.maximumCompressionRatio, 1);
    for (std::uint64_t number = 0; number < count; ++number) {
        Entry entry;
        const auto type = reader.u8();
        if (type < 1 || type > 3) fail(Kind::damaged, "The delta's index holds an unknown entry type.");
        entry.type = static_cast<EntryType>(type);
        const auto path = reader.text();
        checkPath(path);
        if (number > 0 && !(previous < path)) fail(Kind::damaged, "The delta's index is out of order.");
        previous = path;
        const auto slash = path.rfind('/');
        if (slash == std::string_view::npos) {
            if (entry.type != EntryType::folder)
                fail(Kind::unsafeEntry, "The delta holds a top-level item that is no bundle.");
        } else if (!folders.contains(path.substr(0, slash))) {
            fail(Kind::unsafeEntry, "The delta writes into an item that is no folder it made.");
        }
        entry.path = std::string(path);
        switch (entry.type) {
            case EntryType::folder:
                entry.mode = readMode(reader);
                folders.insert(path);
                break;
            case EntryType::link:
                entry.target = std::string(reader.text());
                checkLinkTarget(path, entry.target);
                break;
            case EntryType::file: {
                entry.mode = readMode(reader);
                entry.size = reader.u64();
                entry.digest = reader.digest();
                if (entry.size > limits.maximumFileBytes)
                    fail(Kind::tooLarge, "The delta holds a file beyond the size limit.");
                totalBytes += entry.size;
                if (totalBytes > limits.maximumTotalBytes)
                    fail(Kind::tooLarge, "The delta expands beyond its size limit.");
                const auto source = reader.u8();
                if (source < 1 || source > 3)
                    fail(Kind::damaged, "The delta's index holds an unknown file source.");
                entry.source = static_cast<Source>(source);
                if (entry.source != Source::fresh) {
                    entry.basePath = std::string(reader.text());
                    checkBasePath(entry.basePath);
                }
                if (entry.source == Source::patch) {
                    entry.baseSize = reader.u64();
                    entry.baseDigest = reader.digest();
                    if (entry.baseSize > limits.maximumPatchBytes || entry.size > limits.maximumPatchBytes) {
                        fail(Kind::tooLarge, "The delta holds a patch beyond the size limit.");
                    }
                }
                if (entry.source != Source::same) {
                    entry.payloadBytes = reader.u64();
                    if (entry.source == Source::fresh && entry.size > limits.compressionRatioFloorBytes &&
                        (entry.size - 1) / ratio >= entry.payloadBytes) {
                        fail(Kind::tooLarge, "The delta holds data beyond the compression ratio limit.");
                    }
                    if (entry.payloadBytes > dataBytes - payloadBytes)
                        fail(Kind::damaged, "The delta's data section is cut short.");
                    payloadBytes += entry.payloadBytes;
                }
                break;
            }
        }
        entries.push_back(std::move(entry));
    }
    if (!reader.empty()) fail(Kind::damaged, "The delta's index has bytes after its last entry.");
    if (payloadBytes != dataBytes) fail(Kind::damaged, "The delta's data section does not match its index.");
    return entries;
}

void readExactly(int fd, char* into, std::size_t count) {
    while (count > 0) {
        const ssize_t got = ::read(fd, into, count);
        if (got < 0) {
            if (errno == EINTR) continue;
            throwErrno("read delta");
        }
        if (got == 0) fail(Kind::damaged, "The delta is cut short.");
        into += got;
        count -= static_cast<std::size_t>(got);
    }
}

std::uint64_t littleAt(const char* bytes, int count) {
    std::uint64_t value = 0;
    for (int index = 0; index < count; ++index)
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[index])) << (8 * index);
    return value;
}

bool missing(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// Builds B's tree from the delta's data and A's files.
class Builder {
  public:
    Builder(int delta, const BaseResolver& resolveBase, const std::filesystem::path& destination,
            const DeltaLimits& limits, std::stop_token stop)
        : delta_(delta),
          resolveBase_(resolveBase),
          destination_(destination),
          limits_(limits),
          stop_(std::move(stop)),
          input_(std::make_unique_for_overwrite<char[]>(chunkBytes)),
          output_(std::make_unique_for_overwrite<char[]>(chunkBytes)),
          decoder_(ZSTD_createDCtx()) {
        if (!decoder_) throw std::bad_alloc();
        root_.reset(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root_) throwErrno("open " + destination.string());
    }

    void build(const Entry& entry, DeltaStatistics& statistics) {
        checkStop();
        const auto slash = entry.path.rfind('/');
        const int parent =
            parentFolder(slash == std::string::npos ? std::string() : entry.path.substr(0, slash));
        const std::string name = slash == std::string::npos ? entry.path : entry.path.substr(slash + 1);
        const auto where = destination_ / entry.path;
        switch (entry.type) {
            case EntryType::folder:
                faultPoint(FileOperation::createFolder, where);
                if (::mkdirat(parent, name.c_str(), (entry.mode & 0755) | 0700) != 0)
                    throwErrno("create folder " + where.string());
                break;
            case EntryType::link:
                faultPoint(FileOperation::write, where);
                if (::symlinkat(entry.target.c_str(), parent, name.c_str()) != 0)
                    throwErrno("link " + where.string());
                break;
            case EntryType::file:
                writeFile(entry, parent, name, where);
                switch (entry.source) {
                    case Source::same:
                        statistics.bytesSame += entry.size;
                        break;
                    case Source::patch:
                        statistics.bytesPatched += entry.size;
                        break;
                    case Source::fresh:
                        statistics.bytesNew += entry.size;
                        break;
                }
                break;
        }
    }

  private:
    void checkStop() const {
        if (stop_.stop_requested()) throw DeltaCancelled();
    }

    // Entries come in path order, so the folder of the previous entry is usually the next one's too.
    int parentFolder(const std::string& folder) {
        if (folder.empty()) return root_.get();
        if (folder == parentPath_ && parent_) return parent_.get();
        UniqueFd current(::dup(root_.get()));
        if (!current) throwErrno("dup");
        std::size_t start = 0;
        while (start < folder.size()) {
            const auto end = std::min(folder.find('/', start), folder.size());
            const auto part = folder.substr(start, end - start);
            UniqueFd next(
                ::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) throwErrno("open " + (destination_ / folder).string());
            current = std::move(next);
            start = end + 1;
        }
        parent_ = std::move(current);
        parentPath_ = folder;
        return parent_.get();
    }

    void writeFile(const Entry& entry, int parent, const std::string& name,
                   const std::filesystem::path& where) {
        faultPoint(FileOperation::write, where);
        const mode_t mode = entry.mode & 0755;
        UniqueFd file(
            ::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file) throwErrno("create " + where.string());
        Output output{file.get(), where.string(), entry};
        if (entry.source == Source::same) {
            copyBase(entry, output);
        } else if (entry.source == Source::patch) {
            const auto base = readBase(entry);
            decode(entry, output, base.get(), entry.baseSize);
        } else {
            decode(entry, output, nullptr, 0);
        }
        if (output.written != entry.size || output.hash.finish() != entry.digest) {
            // Unchanged bytes are the base's: a difference is the base's.
            if (entry.source == Source::same) baseChanged(entry.basePath);
            fail(Kind::damaged, "The delta does not produce the recorded bytes of " + entry.path + ".");
        }
        // The umask may have narrowed the mode given to openat().
        if (::fchmod(file.get(), mode) != 0) throwErrno("chmod " + where.string());
        startWriteBack(file.get());
    }

    struct Output {
        int fd;
        std::string name;
        const Entry& entry;
        Sha256 hash{};
        std::uint64_t written = 0;

        void append(const char* bytes, std::size_t count) {
            if (count > entry.size - written)
                fail(Kind::damaged, "The delta produces more bytes than recorded for " + entry.path + ".");
            hash.update(std::string_view(bytes, count));
            writeAll(fd, std::string_view(bytes, count), name);
            written += count;
        }
    };

    // A's bundle of this name, opened once.
    int baseBundle(const std::string& bundle) {
        const auto found = bases_.find(bundle);
        if (found != bases_.end()) return found->second.get();
        const auto folder = resolveBase_ ? resolveBase_(bundle) : std::nullopt;
        if (!folder) fail(Kind::baseMissing, "The delta needs " + bundle + ", which is not installed.");
        UniqueFd fd(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) {
            if (missing(errno))
                fail(Kind::baseMissing, "The delta needs " + bundle + ", which is not installed.");
            throwErrno("open " + folder->string());
        }
        return bases_.emplace(bundle, std::move(fd)).first->second.get();
    }

    // A's file, opened without following links below its bundle's folder.
    UniqueFd openBase(const std::string& path, std::uint64_t size) {
        const auto slash = path.find('/');
        UniqueFd current(::dup(baseBundle(path.substr(0, slash))));
        if (!current) throwErrno("dup");
        std::size_t start = slash + 1;
        while (true) {
            const auto end = std::min(path.find('/', start), path.size());
            const auto part = path.substr(start, end - start);
            const bool last = end == path.size();
            // O_NONBLOCK: a FIFO planted in place of the file must not stall the open.
            const int flags = last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                                   : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            UniqueFd next(::openat(current.get(), part.c_str(), flags));
            if (!next) {
                if (missing(errno)) fail(Kind::baseMissing, "The delta's base file " + path + " is missing.");
                throwErrno("open base file " + path);
            }
            current = std::move(next);
            if (last) break;
            start = end + 1;
        }
        struct stat status {};
        if (::fstat(current.get(), &status) != 0) throwErrno("stat base file " + path);
        if (!S_ISREG(status.st_mode))
            fail(Kind::baseMissing, "The delta's base file " + path + " is missing.");
        if (static_cast<std::uint64_t>(status.st_size) != size) baseChanged(path);
        return current;
    }

    [[noreturn]] static void baseChanged(const std::string& path) {
        fail(Kind::baseChanged, "The delta's base file " + path + " differs from the one it was made from.");
    }

    // Reads up to `count` bytes of a base file; fewer only at its end.
    static std::size_t readSome(int fd, char* into, std::size_t count, const std::string& path) {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::read(fd, into + done, count - done);
            if (got < 0) {
                if (errno == EINTR) continue;
                throwErrno("read base file " + path);
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

    void copyBase(const Entry& entry, Output& output) {
        const auto base = openBase(entry.basePath, entry.size);
        std::uint64_t remaining = entry.size;
        while (remaining > 0) {
            checkStop();
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, chunkBytes));
            if (readSome(base.get(), input_.get(), want, entry.basePath) != want) baseChanged(entry.basePath);
            output.append(input_.get(), want);
            remaining -= want;
        }
    }

    std::unique_ptr<char[]> readBase(const Entry& entry) {
        const auto base = openBase(entry.basePath, entry.baseSize);
        auto bytes = std::make_unique_for_overwrite<char[]>(std::max<std::uint64_t>(entry.baseSize, 1));
        if (readSome(base.get(), bytes.get(), entry.baseSize, entry.basePath) != entry.baseSize)
            baseChanged(entry.basePath);
        Sha256 hash;
        hash.update(std::string_view(bytes.get(), entry.baseSize));
        if (hash.finish() != entry.baseDigest) baseChanged(entry.basePath);
        return bytes;
    }

    [[noreturn]] void zstdFailed(std::size_t result, const Entry& entry) {
        if (ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge) {
            fail(Kind::tooLarge, "The delta's data for " + entry.path + " needs more memory than allowed.");
        }
        if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        fail(Kind::damaged, "The delta's data for " + entry.path + " is damaged.");
    }

    void decode(const Entry& entry, Output& output, const char* prefix, std::uint64_t prefixBytes) {
        auto* decoder = decoder_.get();
        ZSTD_DCtx_reset(decoder, ZSTD_reset_session_and_parameters);
        // A patch's frame must span its base too; its memory is bounded by the patch size limits instead.
        const int windowLog = prefix != nullptr ? windowLogMaximum : limits_.maximumWindowLog;
        if (const auto result = ZSTD_DCtx_setParameter(decoder, ZSTD_d_windowLogMax, windowLog);
            ZSTD_isError(result))
            zstdFailed(result, entry);
        if (prefix != nullptr) {
            if (const auto result = ZSTD_DCtx_refPrefix(decoder, prefix, prefixBytes); ZSTD_isError(result))
                zstdFailed(result, entry);
        }
        std::uint64_t remaining = entry.payloadBytes;
        bool first = true;
        bool done = false;
        while (!done) {
            checkStop();
            if (remaining == 0) fail(Kind::damaged, "The delta's data for " + entry.path + " is cut short.");
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, chunkBytes));
            readExactly(delta_, input_.get(), count);
            remaining -= count;
            if (first) {
                // The declared size bounds the decoder's buffer; a frame without it is refused.
                const auto declared = ZSTD_getFrameContentSize(
                    input_.get(), std::min<std::size_t>(count, frameHeaderMaximumBytes));
                if (declared != entry.size)
                    fail(Kind::damaged, "The delta's data for " + entry.path + " does not match its index.");
                first = false;
            }
            ZSTD_inBuffer in{input_.get(), count, 0};
            while (true) {
                ZSTD_outBuffer out{output_.get(), chunkBytes, 0};
                const auto result = ZSTD_decompressStream(decoder, &out, &in);
                if (ZSTD_isError(result)) zstdFailed(result, entry);
                output.append(output_.get(), out.pos);
                if (result == 0) {
                    done = true;
                    break;
                }
                if (in.pos == in.size && out.pos < out.size) break;
            }
            if (done && (in.pos < in.size || remaining > 0))
                fail(Kind::damaged, "The delta's data for " + entry.path + " has bytes after its frame.");
        }
    }

    int delta_;
    const BaseResolver& resolveBase_;
    std::filesystem::path destination_;
    const DeltaLimits& limits_;
    std::stop_token stop_;
    std::unique_ptr<char[]> input_;
    std::unique_ptr<char[]> output_;
    std::unique_ptr<ZSTD_DCtx, DecompressionContextFree> decoder_;
    UniqueFd root_;
    UniqueFd parent_;
    std::string parentPath_;
    std::map<std::string, UniqueFd> bases_;
};

struct ReleaseItem {
    EntryType type = EntryType::folder;
    std::string path;
    std::uint16_t mode = 0;
    std::string target;
    std::uint64_t size = 0;
    Digest digest{};
};

std::string digestKey(const Digest& digest) {
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

Digest digestOfFile(const std::filesystem::path& path, char* buffer) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throwErrno("open " + path.string());
    Sha256 hash;
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer, chunkBytes);
        if (count < 0) {
            if (errno == EINTR) continue;
            throwErrno("read " + path.string());
        }
        if (count == 0) break;
        hash.update(std::string_view(buffer, static_cast<std::size_t>(count)));
    }
    return hash.finish();
}

// Every item below `root` in path order. With `filesOnly`, the regular files inside top-level folders (A's
// possible bases); otherwise everything, which must be files, folders and links inside top-level folders.
std::vector<ReleaseItem> scanRelease(const std::filesystem::path& root, bool filesOnly) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(chunkBytes);
    std::vector<ReleaseItem> items;
    for (auto walker = std::filesystem::recursive_directory_iterator(root);
         walker != std::filesystem::recursive_directory_iterator(); ++walker) {
        struct stat status {};
        if (::lstat(walker->path().c_str(), &status) != 0) throwErrno("stat " + walker->path().string());
        ReleaseItem item;
        item.path = walker->path().lexically_relative(root).generic_string();
        item.mode = static_cast<std::uint16_t>(status.st_mode & 07777);
        const bool topLevel = walker.depth() == 0;
        if (S_ISDIR(status.st_mode)) {
            item.type = EntryType::folder;
        } else if (S_ISREG(status.st_mode) && !topLevel) {
            item.type = EntryType::file;
            item.size = static_cast<std::uint64_t>(status.st_size);
            item.digest = digestOfFile(walker->path(), buffer.get());
        } else if (S_ISLNK(status.st_mode) && !topLevel) {
            item.type = EntryType::link;
            item.target = std::filesystem::read_symlink(walker->path()).string();
        } else if (filesOnly) {
            continue;
        } else {
            fail(Kind::unsafeEntry,
                 "The release holds " + item.path + ", which is no file, folder or link of a bundle.");
        }
        if (filesOnly && item.type != EntryType::file) continue;
        checkPath(item.path);
        if (item.type == EntryType::link) checkLinkTarget(item.path, item.target);
        items.push_back(std::move(item));
    }
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return items;
}

std::string readWhole(const std::filesystem::path& path, std::uint64_t size) {
    auto bytes = readFile(path, static_cast<std::size_t>(size));
    if (bytes.size() != size) throwErrno(EAGAIN, "changed while read: " + path.string());
    return bytes;
}

// The data section while it is written: an unnamed file beside the delta.
class PayloadWriter {
  public:
    PayloadWriter(const std::filesystem::path& folder, int level, const DeltaLimits& limits)
        : level_(level),
          limits_(limits),
          encoder_(ZSTD_createCCtx()),
          buffer_(std::make_unique_for_overwrite<char[]>(chunkBytes)) {
        if (!encoder_) throw std::bad_alloc();
        const auto name = folder / ("." + randomUUID() + ".delta-data");
        fd_.reset(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd_) throwErrno("create " + name.string());
        ::unlink(name.c_str());
    }

    int fd() const { return fd_.get(); }
    std::uint64_t bytes() const { return bytes_; }

    // B's bytes compressed with A's file as the reference prefix.
    std::string patch(std::string_view target, std::string_view base) {
        reset();
        // The window spans base and target, so every part of the base stays reachable.
        const int windowLog = std::clamp(static_cast<int>(std::bit_width(base.size() + target.size())),
                                         windowLogMinimum, windowLogMaximum);
        set(ZSTD_c_enableLongDistanceMatching, 1);
        set(ZSTD_c_windowLog, windowLog);
        check(ZSTD_CCtx_refPrefix(encoder_.get(), base.data(), base.size()));
        return compress(target);
    }

    std::string fresh(std::string_view target) {
        reset();
        return compress(target);
    }

    // Appends a frame made for `size` bytes, or stored blocks when it is denser than a reader accepts.
    std::uint64_t appendFresh(const std::string& frame, std::string_view target) {
        if (!acceptable(target.size(), frame.size())) {
            return appendStored(target.size(), [&](char* into, std::size_t count) {
                std::memcpy(into, target.data(), count);
                target.remove_prefix(count);
            });
        }
        append(frame);
        return frame.size();
    }

    std::uint64_t appendPatch(const std::string& frame) {
        append(frame);
        return frame.size();
    }

    // Compresses a file too large to hold in memory, streaming.
    std::uint64_t appendFreshFile(const std::filesystem::path& path, std::uint64_t size) {
        const auto start = bytes_;
        {
            UniqueFd file = openSource(path);
            reset();
            check(ZSTD_CCtx_setPledgedSrcSize(encoder_.get(), size));
            auto output = std::make_unique_for_overwrite<char[]>(chunkBytes);
            std::uint64_t read = 0;
            bool finished = false;
            while (!finished) {
                const auto count = readChunk(file.get(), path);
                read += count;
                const auto mode = count == 0 ? ZSTD_e_end : ZSTD_e_continue;
                ZSTD_inBuffer in{buffer_.get(), count, 0};
                while (true) {
                    ZSTD_outBuffer out{output.get(), chunkBytes, 0};
                    const auto remaining = ZSTD_compressStream2(encoder_.get(), &out, &in, mode);
                    check(remaining);
                    append(std::string_view(output.get(), out.pos));
                    if (mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size) {
                        finished = mode == ZSTD_e_end;
                        break;
                    }
                }
            }
            if (read != size) throwErrno(EAGAIN, "changed while read: " + path.string());
        }
        if (acceptable(size, bytes_ - start)) return bytes_ - start;
        truncateTo(start);
        UniqueFd file = openSource(path);
        return appendStored(size, [&](char* into, std::size_t count) {
            std::size_t done = 0;
            while (done < count) {
                const auto got = readChunk(file.get(), path, into + done, count - done);
                if (got == 0) throwErrno(EAGAIN, "changed while read: " + path.string());
                done += got;
            }
        });
    }

  private:
    bool acceptable(std::uint64_t size, std::uint64_t payload) const {
        const std::uint64_t ratio = std::max<std::uint64_t>(limits_.maximumCompressionRatio, 1);
        return size <= limits_.compressionRatioFloorBytes || (size - 1) / ratio < payload;
    }

    // One zstd frame of raw blocks: a 128 KiB window (what one block needs), 8-byte content size, no
    // checksum.
    std::uint64_t appendStored(std::uint64_t size, const std::function<void(char*, std::size_t)>& fill) {
        constexpr std::size_t blockBytes = 128 * 1024;
        std::string head = {'\x28', '\xB5', '\x2F', '\xFD', '\xC0', '\x38'};
        for (int index = 0; index < 8; ++index)
            head.push_back(static_cast<char>((size >> (8 * index)) & 0xFF));
        append(head);
        std::uint64_t total = head.size();
        std::uint64_t remaining = size;
        do {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, blockBytes));
            remaining -= count;
            const std::uint32_t blockHeader =
                (static_cast<std::uint32_t>(count) << 3) | (remaining == 0 ? 1U : 0U);
            const char bytes[3] = {static_cast<char>(blockHeader & 0xFF),
                                   static_cast<char>((blockHeader >> 8) & 0xFF),
                                   static_cast<char>((blockHeader >> 16) & 0xFF)};
            append(std::string_view(bytes, 3));
            fill(buffer_.get(), count);
            append(std::string_view(buffer_.get(), count));
            total += 3 + count;
        } while (remaining > 0);
        return total;
    }

    static UniqueFd openSource(const std::filesystem::path& path) {
        UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!file) throwErrno("open " + path.string());
        return file;
    }

    std::size_t readChunk(int fd, const std::filesystem::path& path, char* into = nullptr,
                          std::size_t count = chunkBytes) {
        if (into == nullptr) into = buffer_.get();
        while (true) {
            const ssize_t got = ::read(fd, into, count);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) throwErrno("read " + path.string());
        }
    }

    void truncateTo(std::uint64_t length) {
        if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0 ||
            ::lseek(fd_.get(), static_cast<off_t>(length), SEEK_SET) < 0) {
            throwErrno("truncate delta data");
        }
        bytes_ = length;
    }

    void append(std::string_view bytes) {
        writeAll(fd_.get(), bytes, "delta data");
        bytes_ += bytes.size();
    }

    void reset() {
        check(ZSTD_CCtx_reset(encoder_.get(), ZSTD_reset_session_and_parameters));
        set(ZSTD_c_compressionLevel, level_);
        set(ZSTD_c_checksumFlag, 0);
        set(ZSTD_c_contentSizeFlag, 1);
        if (limits_.maximumWindowLog < levelWindowLogMaximum) set(ZSTD_c_windowLog, limits_.maximumWindowLog);
    }

    void set(ZSTD_cParameter parameter, int value) {
        check(ZSTD_CCtx_setParameter(encoder_.get(), parameter, value));
    }

    static void check(std::size_t result) {
        if (ZSTD_isError(result)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(result));
    }

    std::string compress(std::string_view target) {
        std::string frame(ZSTD_compressBound(target.size()), '\0');
        const auto size =
            ZSTD_compress2(encoder_.get(), frame.data(), frame.size(), target.data(), target.size());
        check(size);
        frame.resize(size);
        return frame;
    }

    int level_;
    const DeltaLimits& limits_;
    std::unique_ptr<ZSTD_CCtx, CompressionContextFree> encoder_;
    std::unique_ptr<char[]> buffer_;
    UniqueFd fd_;
    std::uint64_t bytes_ = 0;
};

// A's files, found by path, by content and by name.
class BaseCatalogue {
  public:
    explicit BaseCatalogue(std::vector<ReleaseItem> files) : files_(std::move(files)) {
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const auto& file = files_[index];
            byPath_.emplace(file.path, index);
            byDigest_[digestKey(file.digest)].push_back(index);
            byName_[std::filesystem::path(file.path).filename().string()].push_back(index);
        }
    }

    // A's file with exactly these bytes: at the same path, else in the same bundle, else anywhere.
    const ReleaseItem* same(const ReleaseItem& item) const {
        if (const auto* file = at(item.path); file != nullptr && file->digest == item.digest) return file;
        const auto found = byDigest_.find(digestKey(item.digest));
        if (found == byDigest_.end()) return nullptr;
        return preferred(found->second, item, [](const ReleaseItem&) { return 0ULL; });
    }

    // The file B's file most likely grew from: at the same path, else one of the same name, nearest in size.
    const ReleaseItem* similar(const ReleaseItem& item) const {
        if (const auto* file = at(item.path)) return file;
        const auto found = byName_.find(std::filesystem::path(item.path).filename().string());
        if (found == byName_.end()) return nullptr;
        return preferred(found->second, item, [&](const ReleaseItem& file) {
            return file.size > item.size ? file.size - item.size : item.size - file.size;
        });
    }

  private:
    const ReleaseItem* at(const std::string& path) const {
        const auto found = byPath_.find(path);
        return found == byPath_.end() ? nullptr : &files_[found->second];
    }

    // A base inside the same bundle keeps the delta usable where only that bundle is installed.
    template <typename Distance>
    const ReleaseItem* preferred(const std::vector<std::size_t>& candidates, const ReleaseItem& item,
                                 Distance distance) const {
        const ReleaseItem* best = nullptr;
        const auto rank = [&](const ReleaseItem& file) {
            return std::pair(firstComponent(file.path) != firstComponent(item.path), distance(file));
        };
        for (const auto index : candidates) {
            if (best == nullptr || rank(files_[index]) < rank(*best)) best = &files_[index];
        }
        return best;
    }

    std::vector<ReleaseItem> files_;
    std::unordered_map<std::string, std::size_t> byPath_;
    std::unordered_map<std::string, std::vector<std::size_t>> byDigest_;
    std::unordered_map<std::string, std::vector<std::size_t>> byName_;
};

// Removes a work file unless it was renamed into place.
struct WorkFileGuard {
    std::filesystem::path path;
    bool armed = true;
    ~WorkFileGuard() {
        if (armed) ::unlink(path.c_str());
    }
};

}  // namespace

DeltaStatistics createDelta(const std::filesystem::path& from, const std::filesystem::path& to,
                            const std::filesystem::path& deltaPath, const DeltaOptions& options) {
    const auto& limits = options.limits;
    const BaseCatalogue bases(scanRelease(from, true));
    const auto items = scanRelease(to, false);
    if (items.size() > limits.maximumEntries)
        fail(Kind::tooLarge, "The release holds too many items for a delta.");

    const auto folder = deltaPath.has_parent_path() ? deltaPath.parent_path() : std::filesystem::path(".");
    PayloadWriter payloads(folder, options.compressionLevel, limits);
    DeltaStatistics statistics{.entries = items.size()};
    IndexWriter index;
    index.u32(static_cast<std::uint32_t>(items.size()));
    std::uint64_t totalBytes = 0;
    for (const auto& item : items) {
        Entry entry{.type = item.type, .path = item.path, .mode = item.mode, .target = item.target};
        if (item.type == EntryType::file) {
            entry.size = item.size;
            entry.digest = item.digest;
            totalBytes += item.size;
            if (item.size > limits.maximumFileBytes || totalBytes > limits.maximumTotalBytes)
                fail(Kind::tooLarge, "The release is beyond the size limits of a delta.");
            const auto source = to / item.path;
            const auto* base = item.size > 0 ? bases.same(item) : nullptr;
            const auto* similar = base == nullptr && item.size > 0 ? bases.similar(item) : nullptr;
            if (base != nullptr) {
                entry.source = Source::same;
                entry.basePath = base->path;
                statistics.bytesSame += item.size;
            } else if (similar != nullptr && similar->size > 0 && similar->size <= limits.maximumPatchBytes &&
                       item.size <= limits.maximumPatchBytes) {
                const auto target = readWhole(source, item.size);
                const auto baseBytes = readWhole(from / similar->path, similar->size);
                const auto patch = payloads.patch(target, baseBytes);
                const auto fresh = payloads.fresh(target);
                if (patch.size() < fresh.size()) {
                    entry.source = Source::patch;
                    entry.basePath = similar->path;
                    entry.baseSize = similar->size;
                    entry.baseDigest = similar->digest;
                    entry.payloadBytes = payloads.appendPatch(patch);
                    statistics.bytesPatched += item.size;
                } else {
                    entry.payloadBytes = payloads.appendFresh(fresh, target);
                    statistics.bytesNew += item.size;
                }
            } else if (item.size <= limits.maximumPatchBytes) {
                const auto target = readWhole(source, item.size);
                entry.payloadBytes = payloads.appendFresh(payloads.fresh(target), target);
                statistics.bytesNew += item.size;
            } else {
                entry.payloadBytes = payloads.appendFreshFile(source, item.size);
                statistics.bytesNew += item.size;
            }
        }
        encodeEntry(index, entry);
    }
    if (index.bytes().size() > limits.maximumIndexBytes)
        fail(Kind::tooLarge, "The release holds too many items for a delta.");

    IndexWriter header;
    for (const char byte : magic) header.u8(static_cast<std::uint8_t>(byte));
    header.u32(formatVersion);
    header.u32(0);
    header.u64(index.bytes().size());
    header.u64(payloads.bytes());

    WorkFileGuard work{folder / ("." + deltaPath.filename().string() + "." + randomUUID() + ".tmp")};
    UniqueFd out(::open(work.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out) {
        work.armed = false;
        throwErrno("create " + work.path.string());
    }
    faultPoint(FileOperation::write, work.path);
    writeAll(out.get(), header.bytes(), work.path.string());
    writeAll(out.get(), index.bytes(), work.path.string());
    if (::lseek(payloads.fd(), 0, SEEK_SET) < 0) throwErrno("seek delta data");
    const auto buffer = std::make_unique_for_overwrite<char[]>(chunkBytes);
    while (true) {
        const ssize_t count = ::read(payloads.fd(), buffer.get(), chunkBytes);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throwErrno("read delta data");
        if (count == 0) break;
        writeAll(out.get(), std::string_view(buffer.get(), static_cast<std::size_t>(count)),
                 work.path.string());
    }
    faultPoint(FileOperation::fsync, work.path);
    if (::fsync(out.get()) != 0) throwErrno("fsync " + work.path.string());
    if (::close(out.release()) != 0) throwErrno("close " + work.path.string());
    renamePath(work.path, deltaPath);
    work.armed = false;
    fsyncDirectory(folder);
    statistics.deltaBytes = headerBytes + index.bytes().size() + payloads.bytes();
    return statistics;
}

DeltaStatistics applyDelta(const std::filesystem::path& deltaPath, const BaseResolver& resolveBase,
                           const std::filesystem::path& destination, const DeltaLimits& limits,
                           std::stop_token stop) {
    UniqueFd delta(::open(deltaPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!delta) throwErrno("open " + deltaPath.string());
    struct stat status {};
    if (::fstat(delta.get(), &status) != 0) throwErrno("stat " + deltaPath.string());
    if (!S_ISREG(status.st_mode)) throwErrno(EINVAL, "not a regular file: " + deltaPath.string());
    const auto fileBytes = static_cast<std::uint64_t>(status.st_size);
    if (fileBytes < headerBytes) fail(Kind::damaged, "The delta is cut short.");

    std::array<char, headerBytes> header{};
    readExactly(delta.get(), header.data(), header.size());
    if (!std::equal(magic.begin(), magic.end(), header.begin())) fail(Kind::damaged, "The file is no delta.");
    if (littleAt(header.data() + 8, 4) != formatVersion || littleAt(header.data() + 12, 4) != 0)
        fail(Kind::damaged, "The delta's format version is not supported.");
    const auto indexBytes = littleAt(header.data() + 16, 8);
    const auto dataBytes = littleAt(header.data() + 24, 8);
    if (indexBytes > limits.maximumIndexBytes)
        fail(Kind::tooLarge, "The delta's index is beyond its size limit.");
    if (indexBytes > fileBytes - headerBytes || dataBytes != fileBytes - headerBytes - indexBytes)
        fail(Kind::damaged, "The delta's length does not match its header.");

    std::string index(static_cast<std::size_t>(indexBytes), '\0');
    readExactly(delta.get(), index.data(), index.size());
    const auto entries = parseIndex(index, dataBytes, limits);

    DeltaStatistics statistics{.entries = entries.size(), .deltaBytes = fileBytes};
    Builder builder(delta.get(), resolveBase, destination, limits, std::move(stop));
    for (const auto& entry : entries) builder.build(entry, statistics);
    return statistics;
}

}  // namespace halvex::platform

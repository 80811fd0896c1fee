#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "platform/fault_injection.h"
#include "platform/path_exchange.h"
#include "platform/work_names.h"

namespace halvex::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void throwErrno(const std::string& what) {
    throwErrno(errno, what);
}

std::string readFile(const std::filesystem::path& path, std::size_t maximumBytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) throwErrno("open " + path.string());
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throwErrno("stat " + path.string());
    if (!S_ISREG(status.st_mode)) throwErrno(EINVAL, "not a regular file: " + path.string());
    return readDescriptor(fd.get(), maximumBytes, path.string());
}

std::string readDescriptor(int fd, std::size_t maximumBytes, const std::string& name) {
    std::string result;
    std::array<char, 64 * 1024> buffer{};
    while (true) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            throwErrno("read " + name);
        }
        if (count == 0) break;
        if (result.size() + static_cast<std::size_t>(count) > maximumBytes) throwErrno(EFBIG, "read " + name);
        result.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return result;
}

void writeAll(int fd, std::string_view bytes, const std::string& name) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            throwErrno("write " + name);
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

UniqueFd openForAppend(const std::filesystem::path& path, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd) throwErrno("open " + path.string());
    return fd;
}

namespace {

// Removes the temporary file unless the rename consumed it.
struct TemporaryFileGuard {
    std::filesystem::path path;
    bool armed = true;
    ~TemporaryFileGuard() {
        if (armed) ::unlink(path.c_str());
    }
};

}  // namespace

namespace {

constexpr std::string_view temporarySuffix = ".tmp";
constexpr std::size_t uuidLength = 36;

// ".<name>.<UUID>.tmp", as writeFileAtomically names its temporary files.
// A folder's entries; none for one that cannot be read, which keeps its leftovers until it can be.
std::vector<std::string> entriesIfReadable(const std::filesystem::path& folder) {
    try {
        return directoryEntries(folder);
    } catch (const std::system_error&) {
        return {};
    }
}

bool isAtomicWriteTemporary(std::string_view name) {
    if (!name.starts_with('.') || !name.ends_with(temporarySuffix)) return false;
    name.remove_suffix(temporarySuffix.size());
    if (name.size() < uuidLength + 2 || name[name.size() - uuidLength - 1] != '.') return false;
    const auto uuid = name.substr(name.size() - uuidLength);
    for (std::size_t index = 0; index < uuid.size(); ++index) {
        const char c = uuid[index];
        const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// Whether `path` still names the file open as `fd` (nobody removed or replaced it).
bool namesDescriptor(const std::filesystem::path& path, int fd) {
    struct stat open {
    }, named{};
    if (::fstat(fd, &open) != 0 || ::lstat(path.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Creates and locks a new temporary file for `path`. The lock lasts until the descriptor closes, after the
// rename; a sweeper that took the file in the moment before the lock makes this try another name.
UniqueFd createLockedTemporary(const std::filesystem::path& folder, const std::filesystem::path& path,
                               mode_t mode, TemporaryFileGuard& temporary) {
    while (true) {
        temporary.path = folder / ("." + path.filename().string() + "." + randomUUID() + ".tmp");
        UniqueFd fd(
            ::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (!fd) throwErrno("create " + temporary.path.string());
        temporary.armed = true;
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) throwErrno("lock " + temporary.path.string());
        }
        if (namesDescriptor(temporary.path, fd.get())) return fd;
        temporary.armed = false;
    }
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
    const auto folder = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    removeAbandonedTemporaryFiles(folder, path.filename().string());
    TemporaryFileGuard temporary{{}, false};
    UniqueFd fd = createLockedTemporary(folder, path, mode, temporary);
    faultPoint(FileOperation::write, temporary.path);
    writeAll(fd.get(), bytes, temporary.path.string());
    // The umask may have narrowed the mode given to open().
    if (::fchmod(fd.get(), mode) != 0) throwErrno("chmod " + temporary.path.string());
    faultPoint(FileOperation::fsync, temporary.path);
    if (::fsync(fd.get()) != 0) throwErrno("fsync " + temporary.path.string());
    faultPoint(FileOperation::rename, path);
    if (::rename(temporary.path.c_str(), path.c_str()) != 0) throwErrno("rename " + path.string());
    temporary.armed = false;
    if (::close(fd.release()) != 0) throwErrno("close " + path.string());
    fsyncDirectory(folder);
}

void removeAbandonedTemporaryFiles(const std::filesystem::path& folder, std::string_view forName) {
    const auto names = entriesIfReadable(folder);
    for (const auto& name : names) {
        if (!isAtomicWriteTemporary(name)) continue;
        if (!forName.empty() && (name.size() != forName.size() + uuidLength + 2 + temporarySuffix.size() ||
                                 name.compare(1, forName.size(), forName) != 0))
            continue;
        const auto path = folder / name;
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) continue;
        // A live writer holds the lock; a dead one's lock went with its process.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
        if (!namesDescriptor(path, fd.get())) continue;
        faultPoint(FileOperation::remove, path);
        ::unlink(path.c_str());
    }
}

std::vector<std::string> directoryEntries(const std::filesystem::path& folder) {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), ::closedir);
    if (!directory) {
        if (errno == ENOENT) return {};
        throwErrno("open folder " + folder.string());
    }
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(directory.get());
        if (entry == nullptr) {
            if (errno != 0) throwErrno("read folder " + folder.string());
            return names;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
}

std::filesystem::path canonicalPath(const std::filesystem::path& folder) {
    return std::filesystem::weakly_canonical(folder.is_absolute() ? folder
                                                                  : std::filesystem::absolute(folder));
}

std::filesystem::path resolvedPath(const std::filesystem::path& path) {
    const auto absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
    const auto name = absolute.filename();
    if (!absolute.has_relative_path() || name.empty() || name == "." || name == "..") {
        return std::filesystem::weakly_canonical(absolute);
    }
    return std::filesystem::weakly_canonical(absolute.parent_path()) / name;
}

void createDirectories(const std::filesystem::path& path, mode_t mode) {
    if (path.empty()) return;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return;
        throwErrno(ENOTDIR, "create folder " + path.string());
    }
    if (path.has_parent_path() && path.parent_path() != path) createDirectories(path.parent_path(), mode);
    faultPoint(FileOperation::createFolder, path);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) throwErrno("create folder " + path.string());
}

void createDirectory(const std::filesystem::path& path, mode_t mode) {
    faultPoint(FileOperation::createFolder, path);
    if (::mkdir(path.c_str(), mode) != 0) throwErrno("create folder " + path.string());
}

bool isFolder(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isWritable(const std::filesystem::path& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

void startWriteBack(int fd) {
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void fsyncDirectory(const std::filesystem::path& path) {
    faultPoint(FileOperation::fsync, path);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throwErrno("open folder " + path.string());
    if (::fsync(fd.get()) != 0 && errno != EINVAL) throwErrno("fsync folder " + path.string());
}

namespace {

void copyFile(const std::filesystem::path& from, const std::filesystem::path& to, mode_t mode,
              Durability durability) {
    UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!source) throwErrno("open " + from.string());
    UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!target) throwErrno("create " + to.string());
    bool inKernel = true;
    while (inKernel) {
        const ssize_t copied = ::copy_file_range(source.get(), nullptr, target.get(), nullptr, 1 << 30, 0);
        if (copied > 0) continue;
        if (copied == 0) break;
        if (errno == EINTR) continue;
        // Across file systems (and on some of them) the kernel refuses; copy through a buffer instead.
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throwErrno("copy " + from.string());
        inKernel = false;
    }
    if (!inKernel) {
        constexpr std::size_t chunkBytes = 64 * 1024;
        const auto buffer = std::make_unique_for_overwrite<char[]>(chunkBytes);
        while (true) {
            const ssize_t count = ::read(source.get(), buffer.get(), chunkBytes);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) throwErrno("read " + from.string());
            if (count == 0) break;
            for (ssize_t done = 0; done < count;) {
                const ssize_t written =
                    ::write(target.get(), buffer.get() + done, static_cast<std::size_t>(count - done));
                if (written < 0 && errno == EINTR) continue;
                if (written < 0) throwErrno("write " + to.string());
                done += written;
            }
        }
    }
    if (::fchmod(target.get(), mode & 07777) != 0) throwErrno("chmod " + to.string());
    if (durability == Durability::fsyncEach) {
        if (::fsync(target.get()) != 0) throwErrno("fsync " + to.string());
    } else {
        // Start writing the data back now, so the later syncTree mostly waits for I/O in flight.
        startWriteBack(target.get());
    }
}

}  // namespace

void copyTree(const std::filesystem::path& from, const std::filesystem::path& to, Durability durability) {
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0) throwErrno("stat " + from.string());
    faultPoint(FileOperation::copy, to);
    if (S_ISLNK(status.st_mode)) {
        if (::symlink(std::filesystem::read_symlink(from).c_str(), to.c_str()) != 0) {
            throwErrno("link " + to.string());
        }
    } else if (S_ISDIR(status.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0) throwErrno("create folder " + to.string());
        for (const auto& entry : std::filesystem::directory_iterator(from)) {
            copyTree(entry.path(), to / entry.path().filename(), durability);
        }
        if (::chmod(to.c_str(), status.st_mode & 07777) != 0) throwErrno("chmod " + to.string());
        if (durability == Durability::fsyncEach) fsyncDirectory(to);
    } else if (S_ISREG(status.st_mode)) {
        copyFile(from, to, status.st_mode, durability);
    } else {
        throwErrno(EINVAL, "not a file, folder or link: " + from.string());
    }
}

void moveOrCopyTree(const std::filesystem::path& from, const std::filesystem::path& to) {
    faultPoint(FileOperation::rename, to);
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) throwErrno("rename " + from.string());
    copyTree(from, to, Durability::deferred);
}

void replaceItem(const std::filesystem::path& destination, const std::filesystem::path& replacement) {
    exchangePaths(replacement, destination);
}

void renamePath(const std::filesystem::path& from, const std::filesystem::path& to) {
    faultPoint(FileOperation::rename, to);
    if (::rename(from.c_str(), to.c_str()) != 0) throwErrno("rename " + from.string());
}

void removeTree(const std::filesystem::path& path) {
    faultPoint(FileOperation::remove, path);
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) throw std::system_error(error, "remove " + path.string());
}

void removeTreeQuietly(const std::filesystem::path& path) noexcept {
    try {
        removeTree(path);
    } catch (...) {
        // Left for the next sweep: this runs where no failure can be reported.
    }
}

bool itemExists(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool mayExist(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::optional<std::uint64_t> fileSize(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

WorkItems::~WorkItems() {
    for (const auto& path : paths_) removeTreeQuietly(path);
}

ScopedFolder::ScopedFolder(std::filesystem::path path, mode_t mode) : path_(std::move(path)) {
    if (path_.has_parent_path()) createDirectories(path_.parent_path(), 0700);
    createDirectory(path_, mode);
}

namespace {

void syncItem(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) throwErrno("stat " + path.string());
    if (S_ISLNK(status.st_mode)) return;  // a link is written with its folder
    const bool folder = S_ISDIR(status.st_mode);
    if (folder) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) syncItem(entry.path());
    }
    UniqueFd fd(::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throwErrno("open " + path.string());
    const int result = folder ? ::fsync(fd.get()) : ::fdatasync(fd.get());
    // EINVAL: the file system or the item keeps no data of its own to write back, so nothing can be lost.
    if (result != 0 && errno != EINVAL) throwErrno("sync " + path.string());
}

}  // namespace

void syncTree(const std::filesystem::path& path) {
    faultPoint(FileOperation::fsync, path);
    syncItem(path);
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<FileStamp> stampOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    const auto nanoseconds = [](const timespec& time) {
        return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    return FileStamp{status.st_dev, status.st_ino, status.st_size, nanoseconds(status.st_mtim),
                     nanoseconds(status.st_ctim)};
}

std::string randomUUID() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (count < 0) {
            if (errno == EINTR) continue;
            throwErrno("getrandom");
        }
        filled += static_cast<std::size_t>(count);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::array<char, 37> text{};
    std::snprintf(text.data(), text.size(),
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return std::string(text.data(), 36);
}

}  // namespace halvex::platform

namespace halvex::platform::work {

std::filesystem::path hiddenName(const std::filesystem::path& folder, std::string_view prefix,
                                 std::string_view suffix) {
    return folder / (std::string(prefix) + randomUUID() + std::string(suffix));
}

void sweep(const std::filesystem::path& folder, std::span<const std::string_view> prefixes) {
    const auto names = entriesIfReadable(folder);
    for (const auto& name : names) {
        for (const auto prefix : prefixes) {
            if (!name.starts_with(prefix)) continue;
            removeTreeQuietly(folder / name);
            break;
        }
    }
}

void sweepHidden(const std::filesystem::path& folder) {
    constexpr std::array<std::string_view, 1> hidden = {"."};
    sweep(folder, hidden);
}

void sweepAll(const std::filesystem::path& folder) {
    constexpr std::array<std::string_view, 1> everything = {""};
    sweep(folder, everything);
}

}  // namespace halvex::platform::work

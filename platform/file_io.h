#pragma once

// Small POSIX file helpers shared by every layer: an owning descriptor, bounded reads and the atomic
// replacement used for every file another process reads.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::platform {

// Owns one file descriptor and closes it on every path out.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Throws std::system_error naming `what` with the current errno.
[[noreturn]] void throwErrno(const std::string& what);
[[noreturn]] void throwErrno(int error, const std::string& what);

// Reads everything from an open descriptor, at most `maximumBytes`; more fails with EFBIG. `name` labels
// errors.
std::string readDescriptor(int fd, std::size_t maximumBytes, const std::string& name);

// Reads a whole regular file of at most `maximumBytes`; a larger file fails with EFBIG.
std::string readFile(const std::filesystem::path& path, std::size_t maximumBytes);

// Replaces `path` atomically: a hidden temporary file in the same folder (".<name>.<UUID>.tmp") is written,
// fsynced, given `mode`, renamed over `path`, and the folder is fsynced. The temporary file never outlives a
// failure; one that a killed writer left is removed by the next write of the same file (or by
// removeAbandonedTemporaryFiles).
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// Removes the temporary files of atomic writes in `folder` whose writer died before its rename; with
// `forName`, only those of that file. A writer holds a lock on its temporary file until the rename, so files
// still being written are left alone, in this process and in others. A missing folder is fine; a file that
// cannot be removed stays for next time.
void removeAbandonedTemporaryFiles(const std::filesystem::path& folder, std::string_view forName = {});

// Creates `path` and its missing parents with `mode` (existing folders are left as they are).
void createDirectories(const std::filesystem::path& path, mode_t mode);

// Creates the one folder `path` with `mode`; an existing item there is an error (EEXIST).
void createDirectory(const std::filesystem::path& path, mode_t mode);

// The names of the entries of `folder`; a missing folder has none.
std::vector<std::string> directoryEntries(const std::filesystem::path& folder);

// `path` with its folder resolved to the canonical path (links and "." and ".." followed as the system
// follows them; the missing part of a folder that does not exist yet is normalised as written). The last
// component stays as it is, so a link there is not followed.
std::filesystem::path resolvedPath(const std::filesystem::path& path);
// `path` resolved as a whole (a link at its end is followed too).
std::filesystem::path canonicalPath(const std::filesystem::path& path);

// Whether `path` is a folder (a link to one is not).
bool isFolder(const std::filesystem::path& path);

// Whether this user may write into `path` (as the system's own permission check answers it).
bool isWritable(const std::filesystem::path& path);

// Opens `path` for appending to its end, creating it with `mode` when missing; links are not followed.
UniqueFd openForAppend(const std::filesystem::path& path, mode_t mode);

// Writes all of `bytes`, retrying interrupted and short writes. `name` labels errors.
void writeAll(int fd, std::string_view bytes, const std::string& name);

// Starts writing the file's changed data to disk without waiting for it, so that a later sync has little
// left to do. Purely a hint: nothing fails.
void startWriteBack(int fd);

void fsyncDirectory(const std::filesystem::path& path);

// Puts `replacement` at `destination` through exchangePaths (the old item ends at `replacement`'s path,
// where the caller removes it).
void replaceItem(const std::filesystem::path& destination, const std::filesystem::path& replacement);

enum class Durability {
    fsyncEach,  // every file and folder is fsynced as it is written
    deferred,   // written back in the background; the caller makes the copy durable later (syncTree)
};

// Copies a bundle or file tree (files, folders, links as links, permissions kept) to `to`, which must not
// exist, with the kernel's in-file-system copy (a reflink where the file system shares extents). Other file
// types are refused.
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
              Durability durability = Durability::fsyncEach);

// Moves a tree to `to`, which must not exist: renamed when both lie on one file system, else copied as
// copyTree does with deferred durability and the original left for its owner to remove. Either way the
// caller makes the result durable (syncTree) before relying on it.
void moveOrCopyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// Renames inside one file system.
void renamePath(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file or a whole tree; a missing item is no error.
void removeTree(const std::filesystem::path& path);

// Removes a file or a whole tree where a failure cannot be reported (clean-up on a way out); what stays
// is swept by a later recovery. Never throws.
void removeTreeQuietly(const std::filesystem::path& path) noexcept;

// Whether anything, a link included, is at `path`.
bool itemExists(const std::filesystem::path& path);
// False only when the system says nothing is at `path`; an item that cannot be looked at may exist.
bool mayExist(const std::filesystem::path& path);

// The size of the regular file at `path` (a link is followed); absent when there is none.
std::optional<std::uint64_t> fileSize(const std::filesystem::path& path);

// Work items that are removed on every way out until their owner keeps them (a journal took them over,
// or the work succeeded).
class WorkItems {
  public:
    WorkItems() = default;
    WorkItems(const WorkItems&) = delete;
    WorkItems& operator=(const WorkItems&) = delete;
    ~WorkItems();

    void add(std::filesystem::path path) { paths_.push_back(std::move(path)); }
    void keep() { paths_.clear(); }

  private:
    std::vector<std::filesystem::path> paths_;
};

// A work folder, created here, that is removed with everything in it on every way out.
class ScopedFolder {
  public:
    // Creates `path` (and its missing parents) with `mode`; an existing item at `path` is an error.
    explicit ScopedFolder(std::filesystem::path path, mode_t mode = 0700);
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;
    ~ScopedFolder() { removeTreeQuietly(path_); }

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Makes a file tree durable: the data of every file, then every folder. Little is left to wait for when
// its write-back was started early; unlike a whole file system's sync it writes nothing else (large
// downloads and staging files that are removed moments later never need to reach the disk).
void syncTree(const std::filesystem::path& path);

// What stays the same for an item across renames: its device and inode (links are not followed).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// What identifies a file's current state: replaced, touched or resized files get another stamp.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};
// Absent when the item does not exist or cannot be examined (links are followed).
std::optional<FileStamp> stampOf(const std::filesystem::path& path);

// A random version 4 UUID in canonical upper-case form, for hidden work names.
std::string randomUUID();

}  // namespace halvex::platform

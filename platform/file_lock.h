#pragma once

// Advisory whole-file locks between processes. A lock belongs to its open file, so a second lock on the
// same file in the same process conflicts too, and the system drops it when the holder dies. Locks are
// never inherited by started programs. Each FileLock is used by one thread at a time.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace halvex::platform {

class FileLock {
  public:
    enum class Mode { exclusive, shared };
    enum class Open { createIfMissing, existingOnly };

    // Opens `path` (links are not followed; a created file gets mode 0600) and locks it without waiting.
    // Absent when another holder's lock conflicts. Throws std::system_error when the file cannot be opened.
    static std::optional<FileLock> tryLock(const std::filesystem::path& path, Mode mode,
                                           Open open = Open::createIfMissing);

    // Replaces the file's bytes (the lock is kept).
    void replaceContents(std::string_view bytes);
    // The file's bytes, at most `maximumBytes`.
    std::string contents(std::size_t maximumBytes) const;

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

  private:
    FileLock(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::filesystem::path path_;
};

// The bytes of a lock file whose lock another process holds, or absent when nobody holds it or the file
// cannot be opened.
std::optional<std::string> heldLockContents(const std::filesystem::path& path, std::size_t maximumBytes);

}  // namespace halvex::platform

#include "platform/zip_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/file_io.h"

namespace halvex::platform {

namespace {

struct ReaderFree {
    void operator()(archive* handle) const { archive_read_free(handle); }
};
struct WriterFree {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
struct EntryFree {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

std::string reasonOf(archive* handle, const std::string& fallback) {
    const char* text = archive_error_string(handle);
    return text != nullptr ? std::string(text) : fallback;
}

// The path as given, refused when absolute or when any component is "..".
void checkEntryPath(const std::string& path) {
    if (path.empty() || path.front() == '/') throw ArchiveError("The archive holds an absolute path.");
    for (const auto& part : std::filesystem::path(path)) {
        if (part == "..") throw ArchiveError("The archive holds a path that leaves the destination.");
    }
}

// Link targets are resolved lexically from the link's folder and must stay within the entry's top-level
// folder.
void checkLinkTarget(const std::string& path, const char* target) {
    if (target == nullptr || target[0] == '\0' || target[0] == '/') {
        throw ArchiveError("The archive holds a link that leaves its bundle.");
    }
    std::vector<std::string> parts;
    for (const auto& part : std::filesystem::path(path).parent_path()) parts.push_back(part.string());
    for (const auto& part : std::filesystem::path(target)) {
        if (part == "..") {
            if (parts.size() <= 1) throw ArchiveError("The archive holds a link that leaves its bundle.");
            parts.pop_back();
        } else if (part != "." && !part.empty()) {
            parts.push_back(part.string());
        }
    }
}

// Writes one regular file's data; sparse blocks land at their offsets.
void copyData(archive* reader, int fd, std::uint64_t& totalBytes, const ExpansionLimits& limits) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    while (true) {
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF) return;
        if (status != ARCHIVE_OK) throw ArchiveError(reasonOf(reader, "The archive is damaged."));
        totalBytes += size;
        if (totalBytes > limits.maximumTotalBytes)
            throw ArchiveError("The archive expands beyond its size limit.");
        const auto* bytes = static_cast<const char*>(block);
        while (size > 0) {
            const ssize_t written = ::pwrite(fd, bytes, size, offset);
            if (written < 0) {
                if (errno == EINTR) continue;
                throw ArchiveError("The archive could not be written.");
            }
            bytes += written;
            size -= static_cast<std::size_t>(written);
            offset += written;
        }
    }
}

// Opens (creating when missing) each folder of `parts` below `root` without following any link, so no
// entry can be written through a link that an earlier entry planted.
UniqueFd openParentFolder(int root, const std::vector<std::string>& parts) {
    UniqueFd current(::dup(root));
    for (std::size_t index = 0; index + 1 < parts.size(); ++index) {
        if (::mkdirat(current.get(), parts[index].c_str(), 0755) != 0 && errno != EEXIST) {
            throw ArchiveError("The archive could not be written.");
        }
        UniqueFd next(
            ::openat(current.get(), parts[index].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) throw ArchiveError("The archive writes through a link or over a file.");
        current = std::move(next);
    }
    return current;
}

std::vector<std::string> pathParts(const std::string& path) {
    std::vector<std::string> parts;
    for (const auto& part : std::filesystem::path(path)) {
        const auto text = part.string();
        if (!text.empty() && text != ".") parts.push_back(text);
    }
    return parts;
}

void writeEntry(archive* reader, archive_entry* entry, int root, const std::string& path,
                std::uint64_t& totalBytes, const ExpansionLimits& limits) {
    const auto parts = pathParts(path);
    if (parts.empty()) return;
    const auto parent = openParentFolder(root, parts);
    const auto& name = parts.back();
    const mode_t permissions = archive_entry_perm(entry) & 0755;
    switch (archive_entry_filetype(entry)) {
        case AE_IFDIR: {
            if (::mkdirat(parent.get(), name.c_str(), permissions | 0700) != 0 && errno != EEXIST) {
                throw ArchiveError("The archive could not be written.");
            }
            UniqueFd folder(
                ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder) throw ArchiveError("The archive writes through a link or over a file.");
            return;
        }
        case AE_IFLNK:
            if (::symlinkat(archive_entry_symlink(entry), parent.get(), name.c_str()) != 0) {
                throw ArchiveError("The archive holds the same name twice.");
            }
            return;
        default: {
            UniqueFd file(::openat(parent.get(), name.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions));
            if (!file) throw ArchiveError("The archive holds the same name twice.");
            copyData(reader, file.get(), totalBytes, limits);
            // The umask may have narrowed the permissions given to openat().
            if (::fchmod(file.get(), permissions) != 0)
                throw ArchiveError("The archive could not be written.");
            // What is expanded is usually installed next: writing it back now leaves little for the sync
            // that must precede the installation's first swap.
            startWriteBack(file.get());
        }
    }
}

}  // namespace

void expandZip(const std::filesystem::path& archivePath, const std::filesystem::path& destination,
               ExpansionLimits limits) {
    std::unique_ptr<archive, ReaderFree> reader(archive_read_new());
    if (!reader) throw ArchiveError("The archive reader could not start.");
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), 1024 * 1024) != ARCHIVE_OK) {
        throw ArchiveError(reasonOf(reader.get(), "The archive cannot be opened."));
    }
    UniqueFd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) throw ArchiveError("The destination folder cannot be opened.");

    std::uint64_t entries = 0;
    std::uint64_t totalBytes = 0;
    archive_entry* entry = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) throw ArchiveError(reasonOf(reader.get(), "The archive is damaged."));
        if (++entries > limits.maximumEntries) throw ArchiveError("The archive holds too many entries.");

        const char* rawPath = archive_entry_pathname(entry);
        const std::string path = rawPath != nullptr ? rawPath : "";
        checkEntryPath(path);
        if (archive_entry_hardlink(entry) != nullptr) throw ArchiveError("The archive holds a hard link.");
        const auto type = archive_entry_filetype(entry);
        if (type == AE_IFLNK) {
            checkLinkTarget(path, archive_entry_symlink(entry));
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            throw ArchiveError("The archive holds an item that is no file, folder or link.");
        }
        writeEntry(reader.get(), entry, root.get(), path, totalBytes, limits);
    }
}

void createZip(const std::vector<std::filesystem::path>& items, const std::filesystem::path& archivePath) {
    std::unique_ptr<archive, WriterFree> writer(archive_write_new());
    if (!writer) throw ArchiveError("The archive writer could not start.");
    archive_write_set_format_zip(writer.get());
    if (archive_write_open_filename(writer.get(), archivePath.c_str()) != ARCHIVE_OK) {
        throw ArchiveError(reasonOf(writer.get(), "The archive cannot be created."));
    }
    const auto add = [&](const std::filesystem::path& path, const std::string& name) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) throwErrno("stat " + path.string());
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_copy_stat(entry.get(), &status);
        archive_entry_set_pathname(entry.get(), name.c_str());
        if (S_ISLNK(status.st_mode)) {
            archive_entry_set_symlink(entry.get(), std::filesystem::read_symlink(path).c_str());
            archive_entry_set_size(entry.get(), 0);
        } else if (S_ISDIR(status.st_mode)) {
            archive_entry_set_size(entry.get(), 0);
        }
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            throw ArchiveError(reasonOf(writer.get(), "The archive could not be written."));
        }
        if (S_ISREG(status.st_mode)) {
            UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd) throwErrno("open " + path.string());
            constexpr std::size_t chunkBytes = 64 * 1024;
            const auto buffer = std::make_unique_for_overwrite<char[]>(chunkBytes);
            ssize_t count = 0;
            while ((count = ::read(fd.get(), buffer.get(), chunkBytes)) > 0) {
                if (archive_write_data(writer.get(), buffer.get(), static_cast<std::size_t>(count)) < 0) {
                    throw ArchiveError(reasonOf(writer.get(), "The archive could not be written."));
                }
            }
            if (count < 0) throwErrno("read " + path.string());
        }
    };
    for (const auto& item : items) {
        const auto top = item.filename();
        add(item, top.string());
        if (!std::filesystem::is_directory(std::filesystem::symlink_status(item))) continue;
        for (auto walker = std::filesystem::recursive_directory_iterator(item);
             walker != std::filesystem::recursive_directory_iterator(); ++walker) {
            const auto name = (top / walker->path().lexically_relative(item)).generic_string();
            add(walker->path(), walker->is_directory() && !walker->is_symlink() ? name + "/" : name);
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        throw ArchiveError(reasonOf(writer.get(), "The archive could not be written."));
    }
}

}  // namespace halvex::platform

#include "core/install/bundle_replacement.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "platform/file_io.h"

namespace halvex {

namespace {

struct Staged {
    std::filesystem::path destination;
    std::filesystem::path next;
    std::filesystem::path rollback;
    bool replacing = false;
};

bool itemExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

void removeQuietly(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
}

int renameat2(const std::filesystem::path& from, const std::filesystem::path& to, unsigned int flags) {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
}

void renameOrThrow(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) platform::throwErrno("rename " + from.string());
}

// Exchanges two existing items atomically, so `b`'s path is never absent. False when the file system
// cannot exchange (the caller then falls back to two renames).
bool exchange(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (renameat2(a, b, RENAME_EXCHANGE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return false;
    platform::throwErrno("exchange " + a.string());
}

void swapIn(const Staged& item) {
    if (item.replacing) {
        if (exchange(item.next, item.destination)) {
            if (::rename(item.next.c_str(), item.rollback.c_str()) != 0) {
                const int error = errno;
                // Put the old content back before reporting, so nothing is lost when `next` is cleaned up.
                exchange(item.next, item.destination);
                platform::throwErrno(error, "rename " + item.next.string());
            }
        } else {
            renameOrThrow(item.destination, item.rollback);
            renameOrThrow(item.next, item.destination);
        }
    } else {
        renameOrThrow(item.next, item.destination);
    }
    platform::fsyncDirectory(item.destination.parent_path());
}

void restore(const Staged& item) {
    if (item.replacing) {
        if (!itemExists(item.rollback)) return;  // never swapped
        if (!itemExists(item.destination)) {
            renameOrThrow(item.rollback, item.destination);
        } else if (exchange(item.rollback, item.destination)) {
            removeQuietly(item.rollback);  // now the discarded new content
        } else {
            const auto discarded =
                item.destination.parent_path() / (".hvx-discard-" + platform::randomUUID());
            renameOrThrow(item.destination, discarded);
            renameOrThrow(item.rollback, item.destination);
            removeQuietly(discarded);
        }
        platform::fsyncDirectory(item.destination.parent_path());
    } else if (itemExists(item.destination)) {
        std::filesystem::remove_all(item.destination);
    }
}

}  // namespace

void BundleReplacement::install(const std::vector<Item>& items, const Validate& validate) {
    std::vector<Staged> staged;
    // Hidden copies never outlive the call, whatever happens.
    struct CleanUp {
        std::vector<Staged>& staged;
        ~CleanUp() {
            for (const auto& item : staged) removeQuietly(item.next);
        }
    } cleanUp{staged};

    for (const auto& item : items) {
        const auto uuid = platform::randomUUID();
        const auto folder = item.destination.parent_path();
        staged.push_back({item.destination, folder / (".hvx-next-" + uuid),
                          folder / (".hvx-rollback-" + uuid), itemExists(item.destination)});
        platform::copyTree(item.candidate, staged.back().next);
    }

    for (std::size_t index = 0; index < staged.size(); ++index) {
        try {
            swapIn(staged[index]);
            validate(index, staged[index].destination);
        } catch (...) {
            std::exception_ptr failure = std::current_exception();
            for (std::size_t undo = index + 1; undo-- > 0;) {
                try {
                    restore(staged[undo]);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            std::rethrow_exception(failure);
        }
    }
    for (const auto& item : staged) removeQuietly(item.rollback);
}

}  // namespace halvex

#include "core/install/bundle_replacement.h"

#include <exception>
#include <system_error>

#include "platform/file_io.h"
#include "platform/path_exchange.h"

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

// Exchanges the hidden copy with the destination (never leaving the destination absent where the file
// system allows) and moves the old content to the rollback name.
void swapIn(const Staged& item) {
    if (item.replacing) {
        platform::exchangePaths(item.next, item.destination);
        try {
            std::filesystem::rename(item.next, item.rollback);
        } catch (...) {
            // Put the old content back before reporting, so nothing is lost when `next` is cleaned up.
            platform::exchangePaths(item.next, item.destination);
            throw;
        }
    } else {
        std::filesystem::rename(item.next, item.destination);
    }
    platform::fsyncDirectory(item.destination.parent_path());
}

void restore(const Staged& item) {
    if (item.replacing) {
        if (!itemExists(item.rollback)) return;  // never swapped
        if (!itemExists(item.destination)) {
            std::filesystem::rename(item.rollback, item.destination);
        } else {
            platform::exchangePaths(item.rollback, item.destination);
            removeQuietly(item.rollback);  // now the discarded new content
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

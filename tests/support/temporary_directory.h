#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace halvex::test {

// A fresh folder below the system's temporary folder, removed with everything in it at scope exit.
class TemporaryDirectory {
  public:
    // `memory` puts the folder on a RAM file system when the machine has one: for loops that repeat a
    // transaction hundreds of times, whose fsyncs would otherwise wait on a disk shared with other work.
    enum class Medium { disk, memory };

    explicit TemporaryDirectory(Medium medium = Medium::disk) {
        auto parent = std::filesystem::temp_directory_path();
        std::error_code error;
        if (medium == Medium::memory && std::filesystem::is_directory("/dev/shm", error) &&
            ::access("/dev/shm", W_OK | X_OK) == 0) {
            parent = "/dev/shm";
        }
        std::string pattern = (parent / "halvex-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        // Tests make folders read-only on purpose; give write access back so removal succeeds.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
            }
        }
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

  private:
    std::filesystem::path path_;
};

}  // namespace halvex::test

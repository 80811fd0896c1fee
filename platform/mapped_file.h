#pragma once

// A regular file mapped read-only into memory, for checks that need a file's whole extent but touch
// only a few pages. Each MappedFile is used by one thread at a time; the bytes stay valid for its life.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

namespace halvex::platform {

class MappedFile {
  public:
    // Absent when the item is missing, no regular file, empty or cannot be mapped.
    static std::optional<MappedFile> open(const std::filesystem::path& path);

    std::string_view bytes() const { return {static_cast<const char*>(address_), size_}; }

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

  private:
    MappedFile(void* address, std::size_t size) : address_(address), size_(size) {}
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace halvex::platform

#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/file_io.h"

namespace halvex::platform {

std::optional<MappedFile> MappedFile::open(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0)
        return std::nullopt;
    const auto size = static_cast<std::size_t>(status.st_size);
    // The mapping outlives the descriptor.
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) return std::nullopt;
    return MappedFile(address, size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = nullptr;
    other.size_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        if (address_ != nullptr) ::munmap(address_, size_);
        address_ = other.address_;
        size_ = other.size_;
        other.address_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

MappedFile::~MappedFile() {
    if (address_ != nullptr) ::munmap(address_, size_);
}

}  // namespace halvex::platform

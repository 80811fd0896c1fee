#include "platform/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "platform/file_io.h"

namespace halvex::platform {

struct Sha256::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (!context_->digest || EVP_DigestInit_ex(context_->digest.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is unavailable.");
    }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
    if (EVP_DigestUpdate(context_->digest.get(), bytes.data(), bytes.size()) != 1) {
        throw std::runtime_error("SHA-256 failed.");
    }
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->digest.get(), digest.data(), &length) != 1 || length != digest.size()) {
        throw std::runtime_error("SHA-256 failed.");
    }
    return digest;
}

std::string hexString(const Sha256::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string result;
    result.reserve(digest.size() * 2);
    for (const auto byte : digest) {
        result.push_back(digits[byte >> 4]);
        result.push_back(digits[byte & 0x0F]);
    }
    return result;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hexString(hash.finish());
}

std::string sha256HexOfFile(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) throwErrno("open " + path.string());
    Sha256 hash;
    // Bundles hold many small files: a modest buffer that is never zeroed keeps each call cheap.
    constexpr std::size_t chunkBytes = 64 * 1024;
    const auto buffer = std::make_unique_for_overwrite<char[]>(chunkBytes);
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer.get(), chunkBytes);
        if (count < 0) {
            if (errno == EINTR) continue;
            throwErrno("read " + path.string());
        }
        if (count == 0) break;
        hash.update(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
    }
    return hexString(hash.finish());
}

}  // namespace halvex::platform

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace halvex::platform {

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void update(std::string_view bytes);
    Digest finish();

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// 64 lower-case hexadecimal digits.
std::string hexString(const Sha256::Digest& digest);
std::string sha256Hex(std::string_view bytes);
// The hex digest of a file, read in 1 MiB pieces; a link is not followed. Throws std::system_error.
std::string sha256HexOfFile(const std::filesystem::path& path);

}  // namespace halvex::platform

#pragma once

// P-256 ECDSA with SHA-256 over OpenSSL's EVP interface, with signatures in raw form (r then s, 32 bytes
// each, big-endian). Failures throw CryptoError with OpenSSL's reason.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvex::platform {

class CryptoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class P256PublicKey {
  public:
    // 65 bytes: 0x04, X, Y. Throws CryptoError for anything that is no point on the curve.
    static P256PublicKey fromX963(std::string_view bytes);
    // A PEM "PUBLIC KEY" of curve P-256.
    static P256PublicKey fromPEM(std::string_view pem);

    std::string x963() const;
    std::string pem() const;
    // False for a wrong signature, a malformed one, and r or s outside [1, n - 1].
    bool verify(std::string_view message, std::string_view rawSignature) const;

    ~P256PublicKey();
    P256PublicKey(P256PublicKey&&) noexcept;
    P256PublicKey& operator=(P256PublicKey&&) noexcept;

  private:
    struct Key;
    explicit P256PublicKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
};

class P256PrivateKey {
  public:
    // The 32-byte big-endian scalar; throws CryptoError unless it lies in [1, n - 1].
    static P256PrivateKey fromRawScalar(std::string_view scalar);
    // A random key whose public point has the smaller of the two Y roots (compact representable).
    static P256PrivateKey generateCompactRepresentable();
    static P256PrivateKey fromPEM(std::string_view pem);

    std::string rawScalar() const;
    std::string pem() const;
    P256PublicKey publicKey() const;
    // 64 bytes r || s over SHA-256 of `message`; randomised.
    std::string sign(std::string_view message) const;

    ~P256PrivateKey();
    P256PrivateKey(P256PrivateKey&&) noexcept;
    P256PrivateKey& operator=(P256PrivateKey&&) noexcept;

  private:
    struct Key;
    explicit P256PrivateKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
};

}  // namespace halvex::platform

#include "platform/p256.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <mutex>

#include "platform/openssl_handles.h"

namespace halvex::platform {

namespace {

using openssl::Deleter;
using openssl::PKeyPtr;
using PKeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BignumContextPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using SignaturePtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using ParamBuilderPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using openssl::BioPtr;

constexpr const char* curveName = "prime256v1";

[[noreturn]] void fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char reason[256] = {};
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    throw CryptoError(what + (code != 0 ? std::string(": ") + reason : std::string()));
}

template <typename T>
T* check(T* value, const char* what) {
    if (value == nullptr) fail(what);
    return value;
}

void check(int result, const char* what) {
    if (result != 1) fail(what);
}

GroupPtr curveGroup() {
    return GroupPtr(check(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), "P-256 group"));
}

BignumPtr groupOrder(const EC_GROUP* group) {
    return BignumPtr(check(BN_dup(EC_GROUP_get0_order(group)), "order"));
}

std::string pointBytes(const EC_GROUP* group, const EC_POINT* point, BN_CTX* context) {
    std::string bytes(65, '\0');
    if (EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED,
                           reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                           context) != bytes.size()) {
        fail("P-256 point encoding");
    }
    return bytes;
}

PointPtr publicPoint(const EC_GROUP* group, const BIGNUM* scalar, BN_CTX* context) {
    PointPtr point(check(EC_POINT_new(group), "point"));
    check(EC_POINT_mul(group, point.get(), scalar, nullptr, nullptr, context), "P-256 multiplication");
    return point;
}

PKeyPtr keyFromParameters(const BIGNUM* privateScalar, const std::string& publicBytes) {
    ParamBuilderPtr builder(check(OSSL_PARAM_BLD_new(), "parameters"));
    check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, curveName, 0),
          "group name");
    check(OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicBytes.data(),
                                           publicBytes.size()),
          "public key");
    if (privateScalar != nullptr) {
        check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar), "private key");
    }
    ParamsPtr params(check(OSSL_PARAM_BLD_to_param(builder.get()), "parameters"));
    PKeyContextPtr context(check(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "key context"));
    check(EVP_PKEY_fromdata_init(context.get()), "key import");
    EVP_PKEY* key = nullptr;
    check(EVP_PKEY_fromdata(context.get(), &key,
                            privateScalar != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()),
          "key import");
    return PKeyPtr(key);
}

bool isP256(EVP_PKEY* key) {
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) ==
               1 &&
           std::string_view(group, length) == curveName;
}

std::string publicBytesOf(EVP_PKEY* key) {
    std::string bytes(65, '\0');
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY,
                                        reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                                        &length) != 1 ||
        length != bytes.size()) {
        fail("public key export");
    }
    return bytes;
}

std::string paddedBytes(const BIGNUM* number) {
    std::string bytes(32, '\0');
    if (BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()), 32) != 32)
        fail("integer export");
    return bytes;
}

std::string pemText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

BioPtr memoryBIO(std::string_view bytes) {
    return BioPtr(check(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), "buffer"));
}

}  // namespace

struct P256PublicKey::Key {
    PKeyPtr key;
    // A verification context prepared once per key (preparing it costs more than a verification);
    // contexts are not thread-safe, hence the mutex.
    std::mutex mutex;
    PKeyContextPtr verifier;
};

struct P256PrivateKey::Key {
    PKeyPtr key;
};

P256PublicKey::P256PublicKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
P256PublicKey::~P256PublicKey() = default;
P256PublicKey::P256PublicKey(P256PublicKey&&) noexcept = default;
P256PublicKey& P256PublicKey::operator=(P256PublicKey&&) noexcept = default;

P256PublicKey P256PublicKey::fromX963(std::string_view bytes) {
    if (bytes.size() != 65 || bytes[0] != 0x04) throw CryptoError("not an uncompressed P-256 point");
    auto group = curveGroup();
    BignumContextPtr context(check(BN_CTX_new(), "context"));
    PointPtr point(check(EC_POINT_new(group.get()), "point"));
    // oct2point refuses coordinates that are not on the curve.
    check(EC_POINT_oct2point(group.get(), point.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size(), context.get()),
          "P-256 point");
    auto key = std::make_unique<Key>();
    key->key = keyFromParameters(nullptr, std::string(bytes));
    return P256PublicKey(std::move(key));
}

P256PublicKey P256PublicKey::fromPEM(std::string_view pem) {
    auto bio = memoryBIO(pem);
    PKeyPtr key(check(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), "PEM public key"));
    if (!isP256(key.get())) throw CryptoError("the public key is not a P-256 key");
    auto holder = std::make_unique<Key>();
    holder->key = std::move(key);
    return P256PublicKey(std::move(holder));
}

std::string P256PublicKey::x963() const {
    return publicBytesOf(key_->key.get());
}

std::string P256PublicKey::pem() const {
    BioPtr bio(check(BIO_new(BIO_s_mem()), "buffer"));
    check(PEM_write_bio_PUBKEY(bio.get(), key_->key.get()), "PEM export");
    return pemText(bio.get());
}

bool P256PublicKey::verify(std::string_view message, std::string_view rawSignature) const {
    if (rawSignature.size() != 64) return false;
    const auto* raw = reinterpret_cast<const unsigned char*>(rawSignature.data());
    BignumPtr r(BN_bin2bn(raw, 32, nullptr));
    BignumPtr s(BN_bin2bn(raw + 32, 32, nullptr));
    if (!r || !s) return false;
    // Built once: creating the curve group costs more than the verification itself.
    static const GroupPtr group = curveGroup();
    const BIGNUM* order = EC_GROUP_get0_order(group.get());
    const auto inRange = [&](const BIGNUM* value) { return !BN_is_zero(value) && BN_cmp(value, order) < 0; };
    if (!inRange(r.get()) || !inRange(s.get())) return false;

    SignaturePtr signature(ECDSA_SIG_new());
    if (!signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) return false;
    r.release();
    s.release();
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(signature.get(), &der);
    if (derLength <= 0) return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derGuard(
        der, [](unsigned char* p) { OPENSSL_free(p); });

    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    if (sha256 == nullptr ||
        EVP_Digest(message.data(), message.size(), digest, &digestLength, sha256, nullptr) != 1) {
        ERR_clear_error();
        return false;
    }
    std::lock_guard lock(key_->mutex);
    if (!key_->verifier) {
        PKeyContextPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_->key.get(), nullptr));
        if (!context || EVP_PKEY_verify_init(context.get()) != 1) {
            ERR_clear_error();
            return false;
        }
        key_->verifier = std::move(context);
    }
    const int result =
        EVP_PKEY_verify(key_->verifier.get(), der, static_cast<std::size_t>(derLength), digest, digestLength);
    ERR_clear_error();
    return result == 1;
}

P256PrivateKey::P256PrivateKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
P256PrivateKey::~P256PrivateKey() = default;
P256PrivateKey::P256PrivateKey(P256PrivateKey&&) noexcept = default;
P256PrivateKey& P256PrivateKey::operator=(P256PrivateKey&&) noexcept = default;

P256PrivateKey P256PrivateKey::fromRawScalar(std::string_view scalar) {
    if (scalar.size() != 32) throw CryptoError("a P-256 private key is 32 bytes");
    BignumPtr d(
        check(BN_bin2bn(reinterpret_cast<const unsigned char*>(scalar.data()), 32, nullptr), "scalar"));
    auto group = curveGroup();
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) {
        throw CryptoError("the P-256 private key is out of range");
    }
    BignumContextPtr context(check(BN_CTX_new(), "context"));
    const auto point = publicPoint(group.get(), d.get(), context.get());
    return P256PrivateKey(std::make_unique<Key>(
        Key{keyFromParameters(d.get(), pointBytes(group.get(), point.get(), context.get()))}));
}

P256PrivateKey P256PrivateKey::generateCompactRepresentable() {
    auto group = curveGroup();
    const auto order = groupOrder(group.get());
    BignumContextPtr context(check(BN_CTX_new(), "context"));
    BignumPtr d(check(BN_secure_new(), "scalar"));
    do {
        check(BN_priv_rand_range(d.get(), order.get()), "random scalar");
    } while (BN_is_zero(d.get()));

    const auto point = publicPoint(group.get(), d.get(), context.get());
    BignumPtr p(check(BN_new(), "p"));
    BignumPtr y(check(BN_new(), "y"));
    BignumPtr otherY(check(BN_new(), "p - y"));
    check(EC_GROUP_get_curve(group.get(), p.get(), nullptr, nullptr, context.get()), "curve");
    check(EC_POINT_get_affine_coordinates(group.get(), point.get(), nullptr, y.get(), context.get()),
          "coordinates");
    check(BN_sub(otherY.get(), p.get(), y.get()), "p - y");
    // Negating the scalar mirrors the point to the other root of Y.
    if (BN_cmp(y.get(), otherY.get()) > 0) check(BN_sub(d.get(), order.get(), d.get()), "n - d");
    return fromRawScalar(paddedBytes(d.get()));
}

P256PrivateKey P256PrivateKey::fromPEM(std::string_view pem) {
    auto bio = memoryBIO(pem);
    PKeyPtr key(check(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), "PEM private key"));
    if (!isP256(key.get())) throw CryptoError("the private key is not a P-256 key");
    BIGNUM* d = nullptr;
    check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), "private key export");
    BignumPtr guard(d);
    return fromRawScalar(paddedBytes(d));
}

std::string P256PrivateKey::rawScalar() const {
    BIGNUM* d = nullptr;
    check(EVP_PKEY_get_bn_param(key_->key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), "private key export");
    BignumPtr guard(d);
    return paddedBytes(d);
}

std::string P256PrivateKey::pem() const {
    BioPtr bio(check(BIO_new(BIO_s_mem()), "buffer"));
    check(PEM_write_bio_PrivateKey(bio.get(), key_->key.get(), nullptr, nullptr, 0, nullptr, nullptr),
          "PEM export");
    return pemText(bio.get());
}

P256PublicKey P256PrivateKey::publicKey() const {
    return P256PublicKey::fromX963(publicBytesOf(key_->key.get()));
}

std::string P256PrivateKey::sign(std::string_view message) const {
    DigestContextPtr context(check(EVP_MD_CTX_new(), "digest context"));
    check(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_->key.get()), "sign");
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    check(EVP_DigestSign(context.get(), nullptr, &length, bytes, message.size()), "sign");
    std::string der(length, '\0');
    check(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length, bytes,
                         message.size()),
          "sign");
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    SignaturePtr signature(check(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)), "signature"));
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(signature.get(), &r, &s);
    return paddedBytes(r) + paddedBytes(s);
}

}  // namespace halvex::platform

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>

#include "platform/bundle_seal.h"
#include "platform/file_io.h"
#include "platform/openssl_handles.h"
#include "tools/maker/maker.h"

namespace halvex::maker {

namespace {

using platform::openssl::BioPtr;
using platform::openssl::Deleter;

BioPtr memory(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string detachedSignature(const std::string& content, const Identity& signer,
                              const std::vector<std::string>& intermediatesPEM) {
    auto certBio = memory(signer.certificatePEM);
    auto keyBio = memory(signer.privateKeyPEM);
    std::unique_ptr<X509, Deleter<X509, X509_free>> cert(
        PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!cert || !key) throw std::runtime_error("seal: the signing identity cannot be read");
    STACK_OF(X509)* chain = sk_X509_new_null();
    for (const auto& pem : intermediatesPEM) {
        auto bio = memory(pem);
        sk_X509_push(chain, PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    auto data = memory(content);
    CMS_ContentInfo* cms = CMS_sign(cert.get(), key.get(), chain, data.get(), CMS_DETACHED | CMS_BINARY);
    sk_X509_pop_free(chain, X509_free);
    if (cms == nullptr) throw std::runtime_error("seal: signing failed");
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    CMS_ContentInfo_free(cms);
    if (length <= 0) throw std::runtime_error("seal: encoding failed");
    std::string result(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return result;
}

}  // namespace

void sealBundle(const std::filesystem::path& bundle, const std::string& identifier, const Identity& signer,
                const std::vector<std::string>& intermediatesPEM) {
    const auto json = platform::canonicalSealJSON(platform::scanBundle(bundle, identifier));
    const auto folder = bundle / platform::sealFolder;
    std::filesystem::create_directories(folder);
    platform::writeFileAtomically(folder / "seal.json", json, 0644);
    platform::writeFileAtomically(folder / "seal.p7s", detachedSignature(json, signer, intermediatesPEM),
                                  0644);
}

}  // namespace halvex::maker

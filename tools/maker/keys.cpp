#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>

#include "platform/file_io.h"
#include "platform/openssl_handles.h"
#include "platform/p256.h"
#include "tools/maker/maker.h"

namespace halvex::maker {

namespace {

using platform::openssl::BioPtr;
using platform::openssl::CertPtr;
using platform::openssl::Deleter;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

void require(bool condition, const char* what) {
    if (!condition) throw std::runtime_error(std::string("certificate: ") + what);
}

KeyPtr privateKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    require(key != nullptr, "private key");
    return key;
}

CertPtr certificate(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    require(cert != nullptr, "certificate");
    return cert;
}

void addExtension(X509* subject, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, subject, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    X509_add_ext(subject, extension, -1);
    X509_EXTENSION_free(extension);
}

std::string certificatePEM(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    require(PEM_write_bio_X509(bio.get(), cert) == 1, "PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string readText(const std::filesystem::path& path) {
    return platform::readFile(path, 1024 * 1024);
}

}  // namespace

KeyPair makeKeyPair() {
    const auto key = platform::P256PrivateKey::generateCompactRepresentable();
    return {key.pem(), key.publicKey().pem()};
}

Identity makeCertificate(const CertificateOptions& options, const std::optional<Identity>& issuer) {
    const auto keys = makeKeyPair();
    const auto key = privateKey(keys.privatePEM);
    CertPtr cert(X509_new());
    require(cert != nullptr, "allocation");
    X509_set_version(cert.get(), 2);
    std::random_device random;
    ASN1_INTEGER_set_int64(X509_get_serialNumber(cert.get()),
                           (static_cast<std::int64_t>(random()) << 20) + random() % 1000 + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), options.notBeforeDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), options.notAfterDays * 86400);
    X509_set_pubkey(cert.get(), key.get());

    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("HALVEX"), -1,
                               -1, 0);
    if (options.organizationalUnit) {
        X509_NAME_add_entry_by_txt(
            name, "OU", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(options.organizationalUnit->c_str()), -1, -1, 0);
    }
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0);

    CertPtr issuerCert = issuer ? certificate(issuer->certificatePEM) : nullptr;
    const auto signingKey = issuer ? privateKey(issuer->privateKeyPEM) : privateKey(keys.privatePEM);
    X509* issuerForName = issuerCert ? issuerCert.get() : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerForName));

    if (options.certificateAuthority) {
        addExtension(cert.get(), issuerForName, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), issuerForName, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), issuerForName, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), issuerForName, NID_key_usage, "critical,digitalSignature");
        const char* usage = options.serverNames   ? "serverAuth"
                            : options.codeSigning ? "codeSigning"
                                                  : "emailProtection";
        addExtension(cert.get(), issuerForName, NID_ext_key_usage, usage);
        if (options.serverNames)
            addExtension(cert.get(), issuerForName, NID_subject_alt_name, options.serverNames->c_str());
    }
    addExtension(cert.get(), issuerForName, NID_subject_key_identifier, "hash");
    require(X509_sign(cert.get(), signingKey.get(), EVP_sha256()) > 0, "signing");
    return {certificatePEM(cert.get()), keys.privatePEM};
}

TrustSet makeTrustSet(const std::string& teamID) {
    TrustSet trust;
    trust.service = makeKeyPair();
    trust.root = makeCertificate({.commonName = "HALVEX Code Signing Root", .certificateAuthority = true});
    trust.leaf =
        makeCertificate({.commonName = "HALVEX Developer", .organizationalUnit = teamID}, trust.root);
    return trust;
}

void writeTrustSet(const TrustSet& trust, const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    const auto write = [&](const char* name, const std::string& text, mode_t mode) {
        platform::writeFileAtomically(folder / name, text, mode);
    };
    write("service-private.pem", trust.service.privatePEM, 0600);
    write("service-public.pem", trust.service.publicPEM, 0644);
    write("codesign-root.pem", trust.root.certificatePEM, 0644);
    write("codesign-root-key.pem", trust.root.privateKeyPEM, 0600);
    write("codesign-leaf.pem", trust.leaf.certificatePEM, 0644);
    write("codesign-leaf-key.pem", trust.leaf.privateKeyPEM, 0600);
}

ServerTrust makeLoopbackServerTrust() {
    ServerTrust trust;
    trust.authority =
        makeCertificate({.commonName = "HALVEX Demo Service Authority", .certificateAuthority = true});
    trust.server = makeCertificate(
        {.commonName = "127.0.0.1", .notAfterDays = 825, .serverNames = "IP:127.0.0.1,DNS:localhost"},
        trust.authority);
    return trust;
}

void writeServerTrust(const ServerTrust& trust, const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    const auto write = [&](const char* name, const std::string& text, mode_t mode) {
        platform::writeFileAtomically(folder / name, text, mode);
    };
    write("tls-authority.pem", trust.authority.certificatePEM, 0644);
    write("tls-authority-key.pem", trust.authority.privateKeyPEM, 0600);
    write("tls-server.pem", trust.server.certificatePEM + trust.authority.certificatePEM, 0644);
    write("tls-server-key.pem", trust.server.privateKeyPEM, 0600);
}

TrustSet readTrustSet(const std::filesystem::path& folder) {
    return {{readText(folder / "service-private.pem"), readText(folder / "service-public.pem")},
            {readText(folder / "codesign-root.pem"), readText(folder / "codesign-root-key.pem")},
            {readText(folder / "codesign-leaf.pem"), readText(folder / "codesign-leaf-key.pem")}};
}

}  // namespace halvex::maker

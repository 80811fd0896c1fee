#pragma once

// Owning handles for OpenSSL objects, shared by the platform's crypto code and the maker's tools.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace halvex::platform::openssl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* value) const { Free(value); }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

}  // namespace halvex::platform::openssl

// A redirect from https to http must not be followed: the Authorization header would go out in the clear.
// An https server on loopback (a self-signed certificate the request trusts) answers with a redirect to
// the plain-http stand-in service.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "core/service/http_transport.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "tests/support/child_process.h"
#include "tests/support/service_fixture.h"

namespace halvex {
namespace {

struct Identity {
    std::string certificatePEM;
    std::string privateKeyPEM;
};

// A self-signed certificate for "localhost", made by the openssl tool.
Identity localhostIdentity(const std::filesystem::path& folder) {
    const auto key = folder / "key.pem";
    const auto certificate = folder / "certificate.pem";
    const auto made = test::runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key.string(),
                                        "-out", certificate.string(), "-subj", "/CN=localhost", "-days", "1",
                                        "-addext", "subjectAltName=DNS:localhost"});
    EXPECT_EQ(made.exitStatus, 0) << made.standardError;
    return {platform::readFile(certificate, 1 << 16), platform::readFile(key, 1 << 16)};
}

// Answers every connection with one fixed HTTP response over TLS.
class HttpsAnswer {
  public:
    HttpsAnswer(const Identity& identity, std::string response) : response_(std::move(response)) {
        context_ = SSL_CTX_new(TLS_server_method());
        BIO* certificate = BIO_new_mem_buf(identity.certificatePEM.data(), -1);
        BIO* key = BIO_new_mem_buf(identity.privateKeyPEM.data(), -1);
        X509* x509 = PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr);
        EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
        SSL_CTX_use_certificate(context_, x509);
        SSL_CTX_use_PrivateKey(context_, pkey);
        X509_free(x509);
        EVP_PKEY_free(pkey);
        BIO_free(certificate);
        BIO_free(key);

        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpsAnswer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
        SSL_CTX_free(context_);
    }

    int port() const { return port_; }

  private:
    void serve() {
        while (true) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) return;
            SSL* tls = SSL_new(context_);
            SSL_set_fd(tls, connection);
            if (SSL_accept(tls) == 1) {
                char buffer[4096];
                std::string head;
                while (head.find("\r\n\r\n") == std::string::npos) {
                    const int count = SSL_read(tls, buffer, sizeof buffer);
                    if (count <= 0) break;
                    head.append(buffer, static_cast<std::size_t>(count));
                }
                SSL_write(tls, response_.data(), static_cast<int>(response_.size()));
                SSL_shutdown(tls);
            }
            SSL_free(tls);
            ::close(connection);
        }
    }

    std::string response_;
    SSL_CTX* context_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

class HttpsRedirectTest : public test::ServiceFixture {};

TEST_F(HttpsRedirectTest, ARedirectFromHttpsToHttpIsRefusedBeforeAnythingIsSent) {
    const auto identity = localhostIdentity(folder.path());
    const HttpsAnswer secure(identity,
                             "HTTP/1.1 302 Found\r\nLocation: " + service.baseURL() +
                                 "/v1/hub/latest\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    HttpRequest request;
    request.url = *Url::parse("https://localhost:" + std::to_string(secure.port()) + "/v1/hub/latest");
    request.headers = {{"Authorization", "Bearer secret"}};
    request.timeout = std::chrono::seconds(5);
    request.trustedCertificatesPEM = identity.certificatePEM;
    try {
        HttpTransport::send(request, 1 << 20);
        FAIL() << "the redirect to http was followed";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::other);
        EXPECT_STREQ(error.what(), "A redirect from https to http was refused.");
    }
    EXPECT_TRUE(service.requestsTo("/v1/hub/latest").empty()) << "nothing reached the plain-http server";

    // The same server's answer without the redirect is read normally: the refusal is about the hop only.
    const HttpsAnswer plain(identity, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    request.url = *Url::parse("https://localhost:" + std::to_string(plain.port()) + "/");
    EXPECT_EQ(HttpTransport::send(request, 1 << 20).body, "ok");
}

}  // namespace
}  // namespace halvex

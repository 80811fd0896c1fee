// A redirect from https to http must not be followed: the request and its Authorization header would go out
// in the clear. A second stand-in service speaks https (a loopback certificate the request trusts) and
// redirects to the plain-http one.

#include <gtest/gtest.h>

#include "core/service/http_transport.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "tests/support/service_fixture.h"
#include "tools/maker/maker.h"

namespace halvex {
namespace {

class HttpsRedirectTest : public test::ServiceFixture {
  protected:
    HttpsRedirectTest() { maker::writeServerTrust(maker::makeLoopbackServerTrust(), folder / "tls"); }

    tools::StandInService::Options httpsOptions() const {
        tools::StandInService::Options options;
        options.tls =
            tools::TlsIdentity{folder / "tls" / "tls-server.pem", folder / "tls" / "tls-server-key.pem"};
        return options;
    }

    HttpRequest request(const std::string& url) const {
        HttpRequest request{"GET", *Url::parse(url)};
        request.headers = {{"Authorization", "Bearer secret"}};
        request.timeout = std::chrono::seconds(5);
        request.trustedCertificatesPEM = platform::readFile(folder / "tls" / "tls-authority.pem", 1 << 16);
        return request;
    }
};

TEST_F(HttpsRedirectTest, ARedirectFromHttpsToHttpIsRefusedBeforeAnythingIsSent) {
    tools::StandInService secure(httpsOptions());
    secure.addFile("hub/start", "start");
    service.addFile("hub/clear", "in the clear");
    secure.injectFault("/files/hub/start",
                       tools::Fault{.redirectTo = service.baseURL() + "/files/hub/clear"});
    try {
        HttpTransport::send(request(secure.baseURL() + "/files/hub/start"), 1 << 20);
        FAIL() << "the redirect to http was followed";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::other);
        EXPECT_STREQ(error.what(), "A redirect from https to http was refused.");
    }
    EXPECT_EQ(secure.requestsTo("/files/hub/start").size(), 1u);
    EXPECT_TRUE(service.requests().empty()) << "nothing reached the plain-http server";

    // A redirect that stays on https is followed, the credential with it.
    secure.addFile("hub/next", "next");
    secure.injectFault("/files/hub/start", tools::Fault{.redirectTo = secure.baseURL() + "/files/hub/next"});
    EXPECT_EQ(HttpTransport::send(request(secure.baseURL() + "/files/hub/start"), 1 << 20).body, "next");
    ASSERT_EQ(secure.requestsTo("/files/hub/next").size(), 1u);
    EXPECT_EQ(secure.requestsTo("/files/hub/next").front().headers.at("authorization"), "Bearer secret");
}

}  // namespace
}  // namespace halvex

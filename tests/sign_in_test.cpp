#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <atomic>
#include <thread>

#include "core/foundation/operation_cancelled.h"
#include "core/service/api_client.h"
#include "core/service/network_error.h"
#include "platform/base64.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

tools::StandInService::Options quickPolling() {
    tools::StandInService::Options options;
    options.pollIntervalSeconds = 0;  // the client still waits one second between polls
    return options;
}

class SignInTest : public test::ServiceFixture {
  protected:
    SignInTest() : ServiceFixture(quickPolling()) {
        service.setCatalog({{"products", nlohmann::json::array()}, {"releases", nlohmann::json::array()}});
    }

    std::vector<std::string> proofsSent() const {
        std::vector<std::string> proofs;
        for (const auto& request : service.requestsTo("/v1/device/token")) {
            proofs.push_back(nlohmann::json::parse(request.body).at("device_proof_b64"));
        }
        return proofs;
    }

    std::string publicKeySent(std::size_t index) const {
        return nlohmann::json::parse(service.requestsTo("/v1/device/authorizations").at(index).body)
            .at("public_key_x963_b64");
    }
};

TEST_F(SignInTest, TheBrowserApprovalEndsTheWaitWithTheTokenStored) {
    const auto api = client();
    const auto authorization = api.beginAuthorization("Studio Mac");
    EXPECT_EQ(authorization.interval, 0);
    EXPECT_TRUE(authorization.verificationURIComplete.string().ends_with(authorization.userCode));

    // Approve through the browser page once the client has been told to wait twice.
    std::thread browser([&] {
        ASSERT_TRUE(test::waitUntil([&] { return service.requestsTo("/v1/device/token").size() >= 2; }));
        const auto page =
            HttpTransport::send(HttpRequest{"POST",
                                            *Url::parse(service.baseURL() + "/device"),
                                            {{"Content-Type", "application/x-www-form-urlencoded"}},
                                            "user_code=" + authorization.userCode},
                                1 << 20);
        EXPECT_EQ(page.head.status, 200);
    });
    const auto token = api.waitForAuthorization(authorization);
    browser.join();

    EXPECT_EQ(keychain.read(APIClient::credentialAccount), token.accessToken);
    const auto proofs = proofsSent();
    ASSERT_EQ(proofs.size(), 3u);
    EXPECT_EQ(proofs[0], proofs[1]);
    EXPECT_EQ(proofs[1], proofs[2]);
    EXPECT_NO_THROW(api.catalog());
    const auto start = nlohmann::json::parse(service.requestsTo("/v1/device/authorizations").at(0).body);
    EXPECT_EQ(start.at("device_name"), "Studio Mac");
    EXPECT_EQ(start.at("platform"), "macos");
    EXPECT_FALSE(service.requestsTo("/v1/device/token")[0].headers.contains("authorization"));
    EXPECT_EQ(service.requestsTo("/v1/device/token")[0].headers.at("content-type"), "application/json");
}

TEST_F(SignInTest, TheDeviceKeyIsCreatedOnceAndSurvivesSignOut) {
    EXPECT_FALSE(keychain.read(APIClient::privateKeyAccount).has_value());
    const auto api = client();
    api.beginAuthorization("Mac");
    const auto stored = keychain.read(APIClient::privateKeyAccount);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size(), 32u);

    keychain.write("token", APIClient::credentialAccount);
    api.signOut();
    EXPECT_FALSE(api.hasCredential());
    api.beginAuthorization("Mac");
    EXPECT_EQ(keychain.read(APIClient::privateKeyAccount), stored);
    EXPECT_EQ(publicKeySent(0), publicKeySent(1));
    EXPECT_EQ(platform::base64Decode(publicKeySent(0))->size(), 65u);
}

TEST_F(SignInTest, AnExpiredAuthorizationFailsWithoutPolling) {
    auto authorization = client().beginAuthorization("Mac");
    for (const std::int64_t expiresIn : {0LL, -5LL}) {
        authorization.expiresIn = expiresIn;
        try {
            client().waitForAuthorization(authorization);
            FAIL() << "an expired authorization was awaited";
        } catch (const HalvexError& error) {
            EXPECT_EQ(error.kind(), HalvexError::Case::authorizationExpired);
            EXPECT_EQ(error.errorDescription(), "The authorization expired. Please try again.");
        }
    }
    EXPECT_TRUE(service.requestsTo("/v1/device/token").empty());
}

TEST_F(SignInTest, TheDeadlineEndsAWaitThatIsNeverApproved) {
    auto authorization = client().beginAuthorization("Mac");
    authorization.expiresIn = 2;
    authorization.interval = -3;  // polls once per second all the same
    try {
        client().waitForAuthorization(authorization);
        FAIL() << "an unapproved authorization succeeded";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::authorizationExpired);
    }
    const auto polls = service.requestsTo("/v1/device/token").size();
    EXPECT_GE(polls, 2u);
    EXPECT_LE(polls, 3u);
    EXPECT_FALSE(keychain.read(APIClient::credentialAccount).has_value());
}

TEST_F(SignInTest, RefusalsEndTheWaitWithTheServiceMessageAndStoreNothing) {
    const auto api = client();
    const auto authorization = api.beginAuthorization("Mac");
    service.injectFault(
        "/v1/device/token",
        tools::Fault{.status = 400, .body = R"({"error":{"message":"The code was already used."}})"});
    try {
        api.waitForAuthorization(authorization);
        FAIL() << "a refusal was accepted";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::server);
        EXPECT_EQ(error.status(), 400);
        EXPECT_EQ(error.errorDescription(), "The code was already used.");
    }
    service.injectFault("/v1/device/token", tools::Fault{.status = 200, .body = R"({"access_token":"t"})"});
    EXPECT_THROW(api.waitForAuthorization(authorization), DecodingError);
    EXPECT_FALSE(keychain.read(APIClient::credentialAccount).has_value());

    service.injectFault("/v1/device/authorizations", tools::Fault{.status = 503, .body = ""});
    try {
        api.beginAuthorization("Mac");
        FAIL() << "a refused start was accepted";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.status(), 503);
        EXPECT_EQ(error.errorDescription(), "Service Unavailable");
    }
}

// What a service may name as the sign-in page, for itself and for the user's browser.
TEST(BrowserAddress, OnlyHttpsAndLoopbackHttpReachTheBrowser) {
    const std::vector<std::pair<const char*, bool>> table = {
        {"https://login.halvexaudio.com/device?user_code=A", true},
        {"HTTPS://Login.HalvexAudio.com/device", true},
        {"http://127.0.0.1:8080/device", true},
        {"http://127.8.9.10/device", true},
        {"http://localhost:8080/device", true},
        {"http://[::1]:8080/device", true},
        {"http://login.halvexaudio.com/device", false},
        {"http://128.0.0.1/device", false},
        {"http://127.0.0.1.evil.example/device", false},
        {"http://localhost.evil.example/device", false},
        {"file:///etc/passwd", false},
        {"file://localhost/etc/passwd", false},
        {"halvex-evil://run?x=1", false},
        {"javascript:alert(1)", false},
        {"ftp://127.0.0.1/device", false},
        {"data:text/html,<script>", false},
    };
    for (const auto& [text, allowed] : table) {
        const auto url = Url::parse(text);
        EXPECT_EQ(url && url->isBrowserAddress(), allowed) << text;
    }
}

TEST_F(SignInTest, ASignInPageThatIsNoWebAddressIsRefusedBeforeAnyoneOpensIt) {
    const auto authorization = [&](const std::string& page, const std::string& complete) {
        return nlohmann::json{{"device_code", "d"},       {"user_code", "HVX-1"},
                              {"verification_uri", page}, {"verification_uri_complete", complete},
                              {"expires_in", 600},        {"interval", 1}}
            .dump();
    };
    const auto page = service.baseURL() + "/device";
    for (const auto& [uri, complete] : std::vector<std::pair<std::string, std::string>>{
             {page, "file:///etc/passwd"},
             {page, "halvex-evil://sign-in?user_code=HVX-1"},
             {"file:///etc/passwd", page + "?user_code=HVX-1"},
             {page, "http://login.example.com/device?user_code=HVX-1"},
         }) {
        service.injectFault("/v1/device/authorizations",
                            tools::Fault{.status = 200, .body = authorization(uri, complete)});
        try {
            client().beginAuthorization("Mac");
            ADD_FAILURE() << "accepted " << uri << " and " << complete;
        } catch (const HalvexError& error) {
            EXPECT_EQ(error.kind(), HalvexError::Case::unsafeSignInAddress) << complete;
        }
    }
    EXPECT_TRUE(service.requestsTo("/v1/device/token").empty());
}

TEST_F(SignInTest, CancellingTheWaitStoresNothing) {
    const auto authorization = client().beginAuthorization("Mac");
    std::stop_source stop;
    // Cancelled once the client is waiting for the browser: it has asked for the token at least once.
    std::thread canceller([&] {
        EXPECT_TRUE(test::waitUntil([&] { return !service.requestsTo("/v1/device/token").empty(); }));
        stop.request_stop();
    });
    EXPECT_THROW(client().waitForAuthorization(authorization, stop.get_token()), OperationCancelled);
    canceller.join();
    EXPECT_FALSE(keychain.read(APIClient::credentialAccount).has_value());
}

TEST(DeviceProof, VerifiesOverExactlyTheTokenTextWithTheRegisteredKey) {
    const auto key = platform::P256PrivateKey::generateCompactRepresentable();
    const auto proof = APIClient::deviceProof(key, "code-123");
    ASSERT_EQ(proof.size(), 64u);
    const auto publicKey = platform::P256PublicKey::fromX963(key.publicKey().x963());
    EXPECT_TRUE(publicKey.verify("halvex-device-token:code-123", proof));
    EXPECT_FALSE(publicKey.verify("halvex-device-token:code-124", proof));
    EXPECT_FALSE(publicKey.verify("halvex-device-token:code-123\n", proof));
    EXPECT_FALSE(publicKey.verify("code-123", proof));
    EXPECT_NE(APIClient::deviceProof(key, "code-123"), proof) << "signatures are randomised";
    // r = s = 0 and r = n are never valid.
    EXPECT_FALSE(publicKey.verify("halvex-device-token:code-123", std::string(64, '\0')));
}

TEST(DeviceProof, NewKeysAreCompactRepresentableAndBadScalarsAreRefused) {
    BIGNUM* p = nullptr;
    BN_hex2bn(&p, "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF");
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto x963 = platform::P256PrivateKey::generateCompactRepresentable().publicKey().x963();
        BIGNUM* y = BN_bin2bn(reinterpret_cast<const unsigned char*>(x963.data()) + 33, 32, nullptr);
        BIGNUM* other = BN_new();
        BN_sub(other, p, y);
        EXPECT_LE(BN_cmp(y, other), 0);
        BN_free(y);
        BN_free(other);
    }
    BN_free(p);
    EXPECT_THROW(platform::P256PrivateKey::fromRawScalar(std::string(32, '\0')), platform::CryptoError);
    EXPECT_THROW(platform::P256PrivateKey::fromRawScalar(std::string(32, '\xff')), platform::CryptoError);
    EXPECT_THROW(platform::P256PrivateKey::fromRawScalar("short"), platform::CryptoError);
}

}  // namespace
}  // namespace halvex

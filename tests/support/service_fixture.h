#pragma once

// A stand-in service on loopback, a file keychain in a temporary folder, and an API client wired to both.

#include <gtest/gtest.h>

#include <memory>

#include "core/service/api_client.h"
#include "tests/support/temporary_directory.h"
#include "tools/stand_in_service/stand_in_service.h"

namespace halvex::test {

class ServiceFixture : public testing::Test {
  protected:
    explicit ServiceFixture(tools::StandInService::Options options = {},
                            TemporaryDirectory::Medium medium = TemporaryDirectory::Medium::disk)
        : folder(medium),
          service(std::move(options)),
          keychain("com.halvex.hub", platform::makeFileCredentialStore(folder / "Keychain")) {}

    HalvexConfiguration configuration(const std::string& baseURL) const {
        return HalvexConfiguration{*Url::parse(baseURL), "HALVEXDEV1", {}, {}};
    }

    // Short waits so that a stalled answer fails a test quickly.
    static APIClient::Timeouts shortTimeouts(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return {timeout, timeout, timeout, timeout};
    }
    APIClient client(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return APIClient(configuration(service.baseURL()), keychain, shortTimeouts(timeout));
    }

    void signIn() { keychain.write(service.issueToken(), APIClient::credentialAccount); }

    // The service answers the next sign-in with a page address of its choosing.
    void answerSignInWithPage(const std::string& address) {
        const nlohmann::json authorization = {{"device_code", "d"},
                                              {"user_code", "HVX-1"},
                                              {"verification_uri", service.baseURL() + "/device"},
                                              {"verification_uri_complete", address},
                                              {"expires_in", 600},
                                              {"interval", 1}};
        service.injectFault("/v1/device/authorizations", {.status = 200, .body = authorization.dump()});
    }

    TemporaryDirectory folder;
    tools::StandInService service;
    KeychainStore keychain;
};

}  // namespace halvex::test

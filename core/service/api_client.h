#pragma once

// The only component that talks to the service: endpoint resolution, the stored sign-in credential,
// JSON record exchanges, release artwork, resumable downloads, and the browser sign-in.
//
// The client holds no mutable state, so its operations may run concurrently from any threads. Long
// operations take a std::stop_token: cancelling aborts the request in flight (a download keeps its
// partial file for the next call) and throws OperationCancelled. Nothing is retried here.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/foundation/halvex_configuration.h"
#include "core/foundation/halvex_error.h"
#include "core/service/catalog.h"
#include "core/service/device_authorization.h"
#include "core/service/http_transport.h"
#include "core/service/hub_release.h"
#include "core/service/keychain_store.h"
#include "platform/p256.h"
#include "platform/sha256.h"

namespace halvex {

class APIClient {
  public:
    // Longest waits for the next data of an answer.
    struct Timeouts {
        std::chrono::milliseconds request = std::chrono::seconds(45);
        std::chrono::milliseconds artwork = std::chrono::seconds(15);
        std::chrono::milliseconds hubRelease = std::chrono::seconds(60);
        std::chrono::milliseconds download = std::chrono::seconds(60);
    };

    static constexpr const char* credentialAccount = "device-credential";
    static constexpr const char* privateKeyAccount = "device-private-key";
    // A record answer larger than this is refused as invalid.
    static constexpr std::size_t maximumRecordBytes = 32 * 1024 * 1024;
    static constexpr std::size_t maximumArtworkBytes = 10 * 1024 * 1024;
    static constexpr std::size_t downloadBufferBytes = 64 * 1024;

    APIClient(HalvexConfiguration configuration, KeychainStore keychain);
    APIClient(HalvexConfiguration configuration, KeychainStore keychain, Timeouts timeouts);

    const HalvexConfiguration& configuration() const { return configuration_; }

    // True when a credential item exists (whatever it holds). Keychain errors propagate.
    bool hasCredential() const;
    // Deletes the credential; the device key stays.
    void signOut() const;

    Catalog catalog(std::stop_token stop = {}) const;
    HubRelease latestHubRelease(std::stop_token stop = {}) const;
    // The PNG artwork of a test build, or absent when the service has none.
    std::optional<std::string> releaseArtwork(const Release& release, std::stop_token stop = {}) const;
    // Told the bytes of the file on disk (resumed ones included) and the expected size as data arrives.
    using DownloadProgress = std::function<void(std::int64_t bytesDone, std::int64_t bytesTotal)>;

    // Downloads the release archive (authorized) or the hub image (not authorized) to `destination`,
    // resuming what is already there.
    void download(const Release& release, const std::filesystem::path& destination, std::stop_token stop = {},
                  const DownloadProgress& progress = {}) const;
    void download(const HubRelease& release, const std::filesystem::path& destination,
                  std::stop_token stop = {}) const;
    // The same for a release archive, returning the SHA-256 (lower-case hex) of the whole file, computed
    // while the bytes arrive (a resumed download hashes its partial file first).
    std::string downloadHashing(const Release& release, const std::filesystem::path& destination,
                                std::stop_token stop = {}, const DownloadProgress& progress = {}) const;

    // Sign-in: registers the device key and returns the code for the user to approve in the browser.
    // Throws HalvexError::unsafeSignInAddress when either page address is no browser address.
    DeviceAuthorization beginAuthorization(const std::string& deviceName, std::stop_token stop = {}) const;
    // Polls until the user approved (storing the token), the authorization expired, or the service refused.
    DeviceToken waitForAuthorization(const DeviceAuthorization& authorization,
                                     std::stop_token stop = {}) const;

    // Building blocks, public for the components and tests that need them.
    Url endpoint(std::string_view path) const;
    HttpRequest authorizedRequest(std::string_view path) const;
    template <typename T>
    T response(const HttpRequest& request, std::stop_token stop) const;
    static HalvexError serverError(const HttpResponseHead& head, std::string_view body);
    void download(const Url& source, const std::filesystem::path& destination, std::int64_t expectedSize,
                  const std::optional<std::string>& authorization, std::stop_token stop,
                  const DownloadProgress& progress = {}, platform::Sha256* digest = nullptr) const;
    platform::P256PrivateKey devicePrivateKey() const;
    // The possession proof for a device code: raw r || s over "halvex-device-token:" + code.
    static std::string deviceProof(const platform::P256PrivateKey& key, std::string_view deviceCode);

  private:
    std::string storedToken() const;
    HttpResponse exchange(const HttpRequest& request, std::stop_token stop) const;
    HttpRequest jsonPost(std::string_view path, const nlohmann::json& body) const;

    HalvexConfiguration configuration_;
    KeychainStore keychain_;
    Timeouts timeouts_;
};

template <typename T>
T APIClient::response(const HttpRequest& request, std::stop_token stop) const {
    const auto answer = exchange(request, stop);
    if (answer.head.status >= 200 && answer.head.status <= 299) return json::decodeRecord<T>(answer.body);
    throw serverError(answer.head, answer.body);
}

}  // namespace halvex

#include "core/service/api_client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "core/foundation/operation_cancelled.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wait.h"

namespace halvex {
namespace {

using tools::Fault;

std::string bytesOfSize(std::size_t size, char seed = 0) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index)
        bytes[index] = static_cast<char>((index * 31 + seed) & 0xFF);
    return bytes;
}

std::string readAll(const std::filesystem::path& path) {
    return platform::readFile(path, 1 << 30);
}

void writeAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

template <typename Action>
HalvexError halvexErrorOf(Action action) {
    try {
        action();
    } catch (const HalvexError& error) {
        return error;
    }
    ADD_FAILURE() << "no HalvexError";
    return HalvexError::invalidResponse();
}

nlohmann::json releaseJSON(const std::string& url, std::int64_t size, const std::string& channel = "beta") {
    return {{"release_id", "rel_aurora_1"},
            {"product_id", "prod_a"},
            {"slug", "aurora"},
            {"name", "Aurora"},
            {"bundle_id", "com.halvex.aurora"},
            {"version", "1.0.0"},
            {"channel", channel},
            {"platform", "macos"},
            {"architectures", {"arm64"}},
            {"minimum_os", "13.0"},
            {"minimum_hub_version", "1.0.0"},
            {"size_bytes", size},
            {"sha256", std::string(64, '0')},
            {"manifest", "x.y.z"},
            {"download_url", url},
            {"published_at", 1}};
}

Release releaseFor(const std::string& url, std::int64_t size, const std::string& channel = "beta") {
    return json::decodeRecord<Release>(releaseJSON(url, size, channel).dump());
}

class APIClientTest : public test::ServiceFixture {
  protected:
    APIClientTest() {
        service.setCatalog({{"products", nlohmann::json::array()}, {"releases", nlohmann::json::array()}});
        auto hub = releaseJSON(service.baseURL() + "/files/hub/image.zip", 10);
        hub["release_notes"] = "Notes";
        service.setHubRelease(hub);
    }
};

TEST_F(APIClientTest, EndpointsDropTheBasePathAndCarryTheBearerToken) {
    signIn();
    const auto token = *keychain.read(APIClient::credentialAccount);
    const APIClient withPath(configuration(service.baseURL() + "/api/v2?x=1#f"), keychain);
    EXPECT_NO_THROW(withPath.catalog());
    const auto requests = service.requestsTo("/v1/catalog");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].headers.at("authorization"), "Bearer " + token);
    EXPECT_FALSE(requests[0].headers.contains("range"));
}

TEST_F(APIClientTest, WithoutCredentialAuthorizedCallsFailBeforeAnyRequest) {
    const auto api = client();
    const auto release = releaseFor(service.addFile("a.zip", "12345"), 5);
    const auto destination = folder / "Downloads" / "a.zip";
    for (const auto& call :
         std::vector<std::function<void()>>{[&] { api.catalog(); }, [&] { api.releaseArtwork(release); },
                                            [&] { api.download(release, destination); }}) {
        const auto error = halvexErrorOf(call);
        EXPECT_EQ(error.kind(), HalvexError::Case::configuration);
        EXPECT_EQ(error.errorDescription(), "Sign in to HALVEX HUB first.");
    }
    EXPECT_TRUE(service.requests().empty());

    // A credential that could not travel in a header counts as none.
    keychain.write("token\r\nX-Injected: 1", APIClient::credentialAccount);
    EXPECT_EQ(halvexErrorOf([&] { api.catalog(); }).errorDescription(), "Sign in to HALVEX HUB first.");
    keychain.write("\xff\xfe", APIClient::credentialAccount);
    EXPECT_EQ(halvexErrorOf([&] { api.catalog(); }).errorDescription(), "Sign in to HALVEX HUB first.");
    EXPECT_TRUE(service.requests().empty());

    const auto hub = api.latestHubRelease();
    service.addFile("hub/image.zip", "0123456789");
    api.download(hub, folder / "Downloads" / "hub.zip");
    EXPECT_EQ(readAll(folder / "Downloads" / "hub.zip"), "0123456789");
}

TEST_F(APIClientTest, A401SignsOutOnlyWhenTheRequestCarriedTheCredential) {
    signIn();
    const auto api = client();
    service.injectFault("/v1/hub/latest", Fault{.status = 401, .body = R"({"error":{"message":"No."}})"});
    EXPECT_EQ(halvexErrorOf([&] { api.latestHubRelease(); }).status(), 401);
    EXPECT_TRUE(api.hasCredential());

    service.revokeAllTokens();
    const auto error = halvexErrorOf([&] { api.catalog(); });
    EXPECT_EQ(error.kind(), HalvexError::Case::server);
    EXPECT_EQ(error.status(), 401);
    EXPECT_EQ(error.errorDescription(), "Your sign-in has expired. Sign in again.");
    EXPECT_FALSE(api.hasCredential());
}

TEST_F(APIClientTest, ServerErrorsUseTheEnvelopeElseTheReasonPhrase) {
    signIn();
    const auto api = client();
    struct Row {
        Fault fault;
        int status;
        const char* text;
    };
    const std::vector<Row> table = {
        {Fault{.status = 500, .body = R"({"error":{"message":"The catalogue is resting."}})"}, 500,
         "The catalogue is resting."},
        {Fault{.status = 500, .body = "<html>Oops</html>", .contentType = "text/html"}, 500,
         "Internal Server Error"},
        {Fault{.status = 503, .body = R"({"error":{"text":"wrong shape"}})"}, 503, "Service Unavailable"},
        {Fault{.status = 418, .body = ""}, 418, "Client Error"},
        {Fault{.status = 302, .body = ""}, 302, "Found"},  // a redirect without Location is an answer too
    };
    for (const auto& row : table) {
        service.injectFault("/v1/catalog", row.fault);
        const auto error = halvexErrorOf([&] { api.catalog(); });
        EXPECT_EQ(error.kind(), HalvexError::Case::server);
        EXPECT_EQ(error.status(), row.status);
        EXPECT_EQ(error.errorDescription(), row.text);
    }
}

TEST_F(APIClientTest, MalformedAnswersEndInTheDecoderErrorOrInvalidResponse) {
    signIn();
    const auto api = client();
    const auto token = *keychain.read(APIClient::credentialAccount);
    service.injectFault("/v1/catalog", Fault{.status = 200, .body = R"({"products":[],"releases":[)"});
    EXPECT_THROW(api.catalog(), DecodingError);
    service.injectFault("/v1/catalog", Fault{.status = 200, .body = R"({"products":[],"releases":{}})"});
    EXPECT_THROW(api.catalog(), DecodingError);
    service.injectFault("/v1/catalog",
                        Fault{.status = 200, .body = std::string(APIClient::maximumRecordBytes + 1, ' ')});
    EXPECT_EQ(halvexErrorOf([&] { api.catalog(); }).kind(), HalvexError::Case::invalidResponse);

    service.injectFault("/v1/catalog", Fault{.rawResponse = "HTTP/1.1 2OO NOPE\r\nGarbage\r\n\r\n"});
    try {
        api.catalog();
        FAIL() << "garbage accepted";
    } catch (const NetworkError& error) {
        EXPECT_EQ(std::string(error.what()).find(token), std::string::npos);
    }
    EXPECT_TRUE(api.hasCredential());
}

TEST_F(APIClientTest, TransportFailuresCarryTheirKind) {
    const auto api = client(std::chrono::seconds(1));
    service.injectFault("/v1/hub/latest", Fault{.delayBeforeFirstByte = std::chrono::seconds(4)});
    const auto started = std::chrono::steady_clock::now();
    try {
        api.latestHubRelease();
        FAIL() << "a stalled answer was accepted";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::timedOut);
        EXPECT_TRUE(error.isOffline());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));

    for (int hop = 0; hop < 12; ++hop) {
        service.injectFault("/v1/hub/latest", Fault{.redirectTo = service.baseURL() + "/v1/hub/latest"});
    }
    try {
        api.latestHubRelease();
        FAIL() << "a redirect loop ended";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::other);
        EXPECT_FALSE(error.isOffline());
    }

    const APIClient nowhere(configuration("http://127.0.0.1:1"), keychain);
    try {
        nowhere.latestHubRelease();
        FAIL() << "connected to a closed port";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::cannotConnect);
    }
    const APIClient unresolvable(configuration("http://host.invalid"), keychain);
    try {
        unresolvable.latestHubRelease();
        FAIL() << "resolved an invalid host";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::hostNotFound);
    }
}

TEST_F(APIClientTest, ReleaseArtworkChecksItsPreconditionsAndAnswer) {
    signIn();
    const auto api = client();
    const auto png = std::string("\x89PNG\r\n\x1a\n", 8) + "pixels";
    const auto beta = releaseFor("https://cdn.example/a.zip", 1);
    const std::string path = "/v1/releases/rel_aurora_1/artwork";

    EXPECT_EQ(api.releaseArtwork(beta), std::nullopt);
    service.setArtwork("rel_aurora_1", png);
    EXPECT_EQ(api.releaseArtwork(beta), png);

    auto stable = beta;
    stable.channel = "stable";
    auto otherPlatform = beta;
    otherPlatform.platform = "windows";
    auto badIdentifier = beta;
    badIdentifier.releaseID = "rel_../../v1/catalog";
    const auto before = service.requests().size();
    for (const auto& release : {stable, otherPlatform, badIdentifier}) {
        EXPECT_EQ(halvexErrorOf([&] { api.releaseArtwork(release); }).kind(),
                  HalvexError::Case::invalidResponse);
    }
    EXPECT_EQ(service.requests().size(), before);

    const std::vector<Fault> refused = {
        Fault{.overrideContentType = "image/png; charset=binary"},
        Fault{.overrideContentType = "IMAGE/PNG"},
        Fault{.status = 200,
              .body = std::string(APIClient::maximumArtworkBytes + 1, 'x'),
              .contentType = "image/png"},
        Fault{.redirectTo = service.baseURL() + "/v1/releases/rel_other/artwork"},
    };
    for (const auto& fault : refused) {
        service.injectFault(path, fault);
        EXPECT_EQ(halvexErrorOf([&] { api.releaseArtwork(beta); }).kind(),
                  HalvexError::Case::invalidResponse);
    }
    service.injectFault(path, Fault{.status = 401, .body = ""});
    EXPECT_EQ(halvexErrorOf([&] { api.releaseArtwork(beta); }).status(), 401);
    EXPECT_TRUE(api.hasCredential()) << "an artwork 401 does not sign out";
}

class DownloadTest : public APIClientTest {
  protected:
    DownloadTest() {
        signIn();
        url = service.addFile("releases/aurora.zip", content);
    }

    void download(std::int64_t expected = 5000) const {
        client().download(releaseFor(url, expected), destination);
    }
    std::vector<tools::RecordedRequest> fileRequests() const {
        return service.requestsTo("/files/releases/aurora.zip");
    }

    const std::string content = bytesOfSize(5000);
    std::string url;
    std::filesystem::path destination = folder / "Downloads" / "aurora.zip";
};

TEST_F(DownloadTest, FreshDownloadCarriesTheBearerAndNoRange) {
    download();
    EXPECT_EQ(readAll(destination), content);
    ASSERT_EQ(fileRequests().size(), 1u);
    EXPECT_TRUE(fileRequests()[0].headers.at("authorization").starts_with("Bearer "));
    EXPECT_FALSE(fileRequests()[0].headers.contains("range"));
}

TEST_F(DownloadTest, ACompleteFileIsLeftAloneWithoutARequest) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, std::string(5000, 'z'));
    download();
    EXPECT_EQ(readAll(destination), std::string(5000, 'z'));
    EXPECT_TRUE(fileRequests().empty());
}

TEST_F(DownloadTest, APartialFileResumesWithRange) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, content.substr(0, 1000));
    download();
    EXPECT_EQ(readAll(destination), content);
    EXPECT_EQ(fileRequests().at(0).headers.at("range"), "bytes=1000-");
}

TEST_F(DownloadTest, A206ThatDoesNotStartAtTheOffsetIsRefusedAndTheFileKept) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, content.substr(0, 1000));
    service.injectFault("/files/releases/aurora.zip", Fault{.contentRangeStart = 0});
    EXPECT_EQ(halvexErrorOf([&] { download(); }).kind(), HalvexError::Case::invalidResponse);
    EXPECT_EQ(readAll(destination), content.substr(0, 1000));
    download();
    EXPECT_EQ(readAll(destination), content);
}

TEST_F(DownloadTest, AServerThatIgnoresRangeRestartsTheFile) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, std::string(1000, 'g'));
    service.injectFault("/files/releases/aurora.zip", Fault{.ignoreRange = true});
    download();
    EXPECT_EQ(readAll(destination), content);
}

TEST_F(DownloadTest, AFileLargerThanExpectedIsDownloadedAfresh) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, std::string(6000, 'g'));
    download();
    EXPECT_EQ(readAll(destination), content);
    EXPECT_FALSE(fileRequests().at(0).headers.contains("range"));
}

TEST_F(DownloadTest, AServedFileLargerThanExpectedNeverGrowsPastTheExpectedSize) {
    EXPECT_EQ(halvexErrorOf([&] { download(4000); }).kind(), HalvexError::Case::invalidResponse);
    EXPECT_LE(std::filesystem::file_size(destination), 4000u);
    EXPECT_EQ(halvexErrorOf([&] { download(6000); }).kind(), HalvexError::Case::invalidResponse);
}

TEST_F(DownloadTest, ACutConnectionKeepsThePartialFileForTheNextCall) {
    service.injectFault("/files/releases/aurora.zip", Fault{.truncateAfterBytes = 2500});
    EXPECT_THROW(download(), NetworkError);
    EXPECT_TRUE(std::filesystem::exists(destination));
    download();
    EXPECT_EQ(readAll(destination), content);
}

TEST_F(DownloadTest, ErrorStatusesBecomeServerErrorsWithTheReasonPhrase) {
    service.injectFault("/files/releases/aurora.zip",
                        Fault{.status = 404, .body = R"({"error":{"message":"Gone fishing."}})"});
    const auto error = halvexErrorOf([&] { download(); });
    EXPECT_EQ(error.status(), 404);
    EXPECT_EQ(error.errorDescription(), "Not Found");
    EXPECT_FALSE(std::filesystem::exists(destination)) << "nothing is written for an error answer";
}

TEST_F(DownloadTest, CancellationAbortsAndKeepsThePartialFile) {
    std::filesystem::create_directories(destination.parent_path());
    writeAll(destination, content.substr(0, 1000));
    service.injectFault("/files/releases/aurora.zip", Fault{.delayBeforeFirstByte = std::chrono::seconds(3)});
    std::stop_source stop;
    // Cancelled while the answer is held back: once the request has reached the service.
    std::thread canceller([&] {
        EXPECT_TRUE(
            test::waitUntil([&] { return !service.requestsTo("/files/releases/aurora.zip").empty(); }));
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(client().download(releaseFor(url, 5000), destination, stop.get_token()), OperationCancelled);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    EXPECT_EQ(readAll(destination), content.substr(0, 1000));
}

}  // namespace
}  // namespace halvex

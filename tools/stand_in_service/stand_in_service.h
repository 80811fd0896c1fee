#pragma once

// The stand-in for the HALVEX service, over real HTTP on loopback: device sign-in with proof of
// possession, the Bearer-checked catalogue, release artwork, the latest hub release, and file downloads
// with exact Range handling. Tests and the demo drive it in process; the `halvex-stand-in-service`
// command serves a data folder. Faults can be injected per request, and every request is recorded.
// All operations are thread-safe.

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/stand_in_service/http_server.h"

namespace halvex::tools {

// What to do instead of (or on top of) the normal answer for one request.
struct Fault {
    std::chrono::milliseconds delayBeforeFirstByte{0};
    // Answer with this status and body instead.
    std::optional<int> status{};
    std::string body{};
    std::string contentType = "application/json";
    // Answer 302 to this location instead.
    std::optional<std::string> redirectTo{};
    // Send these bytes as the whole answer (garbage headers and the like).
    std::optional<std::string> rawResponse{};
    // Normal answer, altered:
    std::optional<std::string> overrideContentType{};
    bool ignoreRange = false;                         // answer 200 with the whole file
    std::optional<std::int64_t> contentRangeStart{};  // a 206 whose Content-Range claims this start
    std::optional<std::size_t> truncateAfterBytes{};  // close the connection after this much of the body
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

class StandInService {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        std::uint16_t port = 0;
        // Optional folder: catalog.json, hub-latest.json, artwork/<release id>.png, files/<name>.
        // "{{BASE_URL}}" in the JSON files stands for the service's own base URL, "{{BROWSER_URL}}" for
        // browserBaseURL() (store pages a browser opens). The folder is read
        // again whenever catalog.json or hub-latest.json changes.
        std::optional<std::filesystem::path> dataFolder;
        std::int64_t authorizationLifetimeSeconds = 600;
        std::int64_t pollIntervalSeconds = 5;
        // Approve every authorization at once (for unattended demos).
        bool autoApprove = false;
        // Serve https with this identity instead of plain http.
        std::optional<TlsIdentity> tls{};
        // With https: serve the pages a person's browser opens (sign-in, store) on a second, plain-http
        // loopback port too, and point the sign-in addresses there, so that a browser which does not
        // trust the demo authority shows them without a certificate warning.
        bool plainBrowserPages = false;
        // Paces downloads that need a credential (plugin releases) to this many bytes per second, so
        // that a demo shows progress; 0 sends at full speed.
        std::uint64_t downloadBytesPerSecond = 0;
    };

    explicit StandInService(Options options);
    ~StandInService();

    std::string baseURL() const;
    // Where the browser pages are: the plain-http address when `plainBrowserPages`, else baseURL().
    std::string browserBaseURL() const;
    std::uint16_t port() const { return server_.port(); }

    void setCatalog(nlohmann::json catalog);
    void setHubRelease(std::optional<nlohmann::json> release);
    void setArtwork(const std::string& releaseID, std::string png);
    // Serves `content` at /files/<name> and returns its URL. Files under "hub/" and "media/" (icons and
    // other public images) need no credential; every other file needs a valid Bearer token.
    std::string addFile(const std::string& name, std::string content);
    std::string addFileFromDisk(const std::string& name, const std::filesystem::path& path);

    // Sign-in.
    void approve(const std::string& userCode);
    std::string issueToken();
    void revokeAllTokens();
    std::vector<std::string> pendingUserCodes() const;

    // The next request to exactly `path` gets `fault` (faults for one path queue up in order).
    void injectFault(const std::string& path, Fault fault);
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;

  private:
    struct PendingAuthorization {
        std::string userCode;
        std::string deviceName;
        std::string publicKeyX963;
        std::chrono::steady_clock::time_point expiresAt;
        bool approved = false;
        bool denied = false;
    };
    struct ServedFile {
        std::optional<std::string> content;
        std::optional<std::filesystem::path> path;
    };

    void handle(const ServerRequest& request, Connection& connection);
    std::optional<Fault> takeFault(const std::string& path);
    bool authorized(const ServerRequest& request) const;
    void answerJSON(Connection& connection, int status, const nlohmann::json& body,
                    const std::optional<Fault>& fault);
    void answerError(Connection& connection, int status, const std::string& message);
    void startAuthorization(const ServerRequest& request, Connection& connection,
                            const std::optional<Fault>& fault);
    void pollToken(const ServerRequest& request, Connection& connection, const std::optional<Fault>& fault);
    void browserPage(const ServerRequest& request, Connection& connection);
    void browserDecision(const ServerRequest& request, Connection& connection);
    // The live authorization with this user code (compared ignoring case), or absent.
    std::optional<PendingAuthorization> findByUserCode(const std::string& userCode);
    void serveArtwork(const ServerRequest& request, Connection& connection,
                      const std::optional<Fault>& fault);
    void serveFile(const ServerRequest& request, Connection& connection, const std::optional<Fault>& fault);
    void loadDataFolder(const std::filesystem::path& folder);
    // Reads the data folder again when its JSON files changed since the last read.
    void reloadChangedDataFolder();
    void storePage(const ServerRequest& request, Connection& connection);
    std::string substituted(const std::string& text) const;

    Options options_;
    mutable std::mutex mutex_;
    std::optional<nlohmann::json> catalog_;
    std::optional<nlohmann::json> hubRelease_;
    std::map<std::string, std::string> artwork_;
    std::map<std::string, ServedFile> files_;
    std::map<std::string, PendingAuthorization> authorizations_;  // by device code
    std::set<std::string> tokens_;
    std::map<std::string, std::deque<Fault>> faults_;
    std::vector<RecordedRequest> requests_;
    std::mutex reloadMutex_;
    std::string dataStamp_;
    HttpServer server_;
    std::unique_ptr<HttpServer> browserServer_;
};

}  // namespace halvex::tools

#include "tools/stand_in_service/stand_in_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/base64.h"
#include "platform/file_io.h"
#include "platform/p256.h"

namespace halvex::tools {

namespace {

nlohmann::json envelope(const std::string& message) {
    return {{"error", {{"message", message}}}};
}

std::string randomToken() {
    std::string token = platform::randomUUID() + platform::randomUUID();
    std::erase(token, '-');
    std::transform(token.begin(), token.end(), token.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return token;
}

std::string randomUserCode() {
    static constexpr char letters[] = "BCDFGHJKLMNPQRSTVWXZ";
    std::random_device random;
    std::string code;
    for (int index = 0; index < 9; ++index)
        code += index == 4 ? '-' : letters[random() % (sizeof letters - 1)];
    return code;
}

std::string formValue(const std::string& form, const std::string& name) {
    std::istringstream pairs(form);
    std::string pair;
    while (std::getline(pairs, pair, '&')) {
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) != name || equals == std::string::npos) continue;
        std::string value;
        for (std::size_t index = equals + 1; index < pair.size(); ++index) {
            if (pair[index] == '+') {
                value += ' ';
            } else if (pair[index] == '%' && index + 2 < pair.size()) {
                value += static_cast<char>(std::stoi(pair.substr(index + 1, 2), nullptr, 16));
                index += 2;
            } else {
                value += pair[index];
            }
        }
        return value;
    }
    return {};
}

// A JSON object body whose `names` are all strings; absent for anything else.
std::optional<nlohmann::json> stringMembers(const std::string& text,
                                            std::initializer_list<const char*> names) {
    try {
        auto body = nlohmann::json::parse(text);
        if (!body.is_object()) return std::nullopt;
        for (const char* name : names) {
            if (!body.contains(name) || !body[name].is_string()) return std::nullopt;
        }
        return body;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string htmlEscaped(const std::string& text) {
    std::string result;
    for (const char c : text) {
        switch (c) {
            case '<':
                result += "&lt;";
                break;
            case '>':
                result += "&gt;";
                break;
            case '&':
                result += "&amp;";
                break;
            case '"':
                result += "&quot;";
                break;
            default:
                result += c;
        }
    }
    return result;
}

std::string page(const std::string& body) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>HALVEX sign-in</title></head><body "
           "style=\"font-family:sans-serif;max-width:30em;margin:4em auto\"><h1>HALVEX</h1>" +
           body + "</body></html>";
}

// The start offset of "bytes=N-"; absent for no or another form of Range.
std::optional<std::uint64_t> rangeStart(const std::string& range) {
    if (!range.starts_with("bytes=") || !range.ends_with("-")) return std::nullopt;
    const std::string digits = range.substr(6, range.size() - 7);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoull(digits);
}

}  // namespace

StandInService::StandInService(Options options)
    : options_(std::move(options)),
      server_([this](const ServerRequest& request, Connection& connection) { handle(request, connection); }) {
    server_.start(options_.host, options_.port);
    if (options_.dataFolder) loadDataFolder(*options_.dataFolder);
}

StandInService::~StandInService() {
    server_.stop();
}

std::string StandInService::baseURL() const {
    return "http://" + options_.host + ":" + std::to_string(port());
}

std::string StandInService::substituted(const std::string& text) const {
    std::string result = text;
    const std::string marker = "{{BASE_URL}}";
    for (auto position = result.find(marker); position != std::string::npos; position = result.find(marker)) {
        result.replace(position, marker.size(), baseURL());
    }
    return result;
}

void StandInService::loadDataFolder(const std::filesystem::path& folder) {
    const auto readJSON = [&](const std::filesystem::path& path) {
        return nlohmann::json::parse(substituted(platform::readFile(path, 64 * 1024 * 1024)));
    };
    if (std::filesystem::exists(folder / "catalog.json")) setCatalog(readJSON(folder / "catalog.json"));
    if (std::filesystem::exists(folder / "hub-latest.json"))
        setHubRelease(readJSON(folder / "hub-latest.json"));
    if (std::filesystem::is_directory(folder / "artwork")) {
        for (const auto& entry : std::filesystem::directory_iterator(folder / "artwork")) {
            if (entry.path().extension() == ".png") {
                setArtwork(entry.path().stem().string(), platform::readFile(entry.path(), 64 * 1024 * 1024));
            }
        }
    }
    if (std::filesystem::is_directory(folder / "files")) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder / "files")) {
            if (entry.is_regular_file()) {
                addFileFromDisk(entry.path().lexically_relative(folder / "files").generic_string(),
                                entry.path());
            }
        }
    }
}

void StandInService::setCatalog(nlohmann::json catalog) {
    std::lock_guard lock(mutex_);
    catalog_ = std::move(catalog);
}

void StandInService::setHubRelease(std::optional<nlohmann::json> release) {
    std::lock_guard lock(mutex_);
    hubRelease_ = std::move(release);
}

void StandInService::setArtwork(const std::string& releaseID, std::string png) {
    std::lock_guard lock(mutex_);
    artwork_[releaseID] = std::move(png);
}

std::string StandInService::addFile(const std::string& name, std::string content) {
    std::lock_guard lock(mutex_);
    files_[name] = ServedFile{std::move(content), std::nullopt};
    return baseURL() + "/files/" + name;
}

std::string StandInService::addFileFromDisk(const std::string& name, const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    files_[name] = ServedFile{std::nullopt, path};
    return baseURL() + "/files/" + name;
}

void StandInService::approve(const std::string& userCode) {
    std::lock_guard lock(mutex_);
    for (auto& [code, authorization] : authorizations_) {
        if (authorization.userCode == userCode) authorization.approved = true;
    }
}

std::string StandInService::issueToken() {
    std::lock_guard lock(mutex_);
    return *tokens_.insert(randomToken()).first;
}

void StandInService::revokeAllTokens() {
    std::lock_guard lock(mutex_);
    tokens_.clear();
}

std::vector<std::string> StandInService::pendingUserCodes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> codes;
    for (const auto& [code, authorization] : authorizations_) {
        if (!authorization.approved) codes.push_back(authorization.userCode);
    }
    return codes;
}

void StandInService::injectFault(const std::string& path, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_[path].push_back(std::move(fault));
}

std::vector<RecordedRequest> StandInService::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> StandInService::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> result;
    for (auto& request : requests()) {
        if (request.path == path) result.push_back(std::move(request));
    }
    return result;
}

std::optional<Fault> StandInService::takeFault(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto found = faults_.find(path);
    if (found == faults_.end() || found->second.empty()) return std::nullopt;
    Fault fault = std::move(found->second.front());
    found->second.pop_front();
    return fault;
}

bool StandInService::authorized(const ServerRequest& request) const {
    const std::string header = request.header("authorization");
    if (!header.starts_with("Bearer ")) return false;
    std::lock_guard lock(mutex_);
    return tokens_.contains(header.substr(7));
}

void StandInService::answerJSON(Connection& connection, int status, const nlohmann::json& body,
                                const std::optional<Fault>& fault) {
    const std::string contentType =
        fault && fault->overrideContentType ? *fault->overrideContentType : std::string("application/json");
    connection.respond(status, {{"Content-Type", contentType}}, body.dump());
}

void StandInService::answerError(Connection& connection, int status, const std::string& message) {
    answerJSON(connection, status, envelope(message), std::nullopt);
}

void StandInService::handle(const ServerRequest& request, Connection& connection) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back({request.method, request.path, request.headers, request.body});
    }
    const auto fault = takeFault(request.path);
    if (fault) {
        connection.pause(fault->delayBeforeFirstByte);
        if (fault->rawResponse) {
            connection.write(*fault->rawResponse);
            return;
        }
        if (fault->redirectTo) {
            connection.respond(302, {{"Location", *fault->redirectTo}}, "");
            return;
        }
        if (fault->status) {
            connection.respond(*fault->status, {{"Content-Type", fault->contentType}}, fault->body);
            return;
        }
    }

    const auto& path = request.path;
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (post && path == "/v1/device/authorizations") return startAuthorization(request, connection, fault);
    if (post && path == "/v1/device/token") return pollToken(request, connection, fault);
    if (path == "/device" && (get || post)) return browserPage(request, connection);
    if (get && path == "/v1/catalog") {
        if (!authorized(request))
            return answerError(connection, 401, "Your sign-in has expired. Sign in again.");
        std::lock_guard lock(mutex_);
        if (!catalog_) return answerError(connection, 404, "No catalogue is available.");
        return answerJSON(connection, 200, *catalog_, fault);
    }
    if (get && path == "/v1/hub/latest") {
        std::optional<nlohmann::json> release;
        {
            std::lock_guard lock(mutex_);
            release = hubRelease_;
        }
        if (!release) return answerError(connection, 404, "No hub release is available.");
        return answerJSON(connection, 200, *release, fault);
    }
    if (get && path.starts_with("/v1/releases/") && path.ends_with("/artwork")) {
        return serveArtwork(request, connection, fault);
    }
    if (get && path.starts_with("/files/")) return serveFile(request, connection, fault);
    answerError(connection, 404, "Not found.");
}

void StandInService::startAuthorization(const ServerRequest& request, Connection& connection,
                                        const std::optional<Fault>& fault) {
    const auto body = stringMembers(request.body, {"device_name", "platform", "public_key_x963_b64"});
    if (!body || body->at("platform") != "macos") {
        return answerError(connection, 400, "The sign-in request is incomplete.");
    }
    const auto publicKey = platform::base64Decode(body->at("public_key_x963_b64").get<std::string>());
    try {
        if (!publicKey) throw platform::CryptoError("not Base64");
        platform::P256PublicKey::fromX963(*publicKey);
    } catch (const platform::CryptoError&) {
        return answerError(connection, 400, "The device key is not a P-256 public key.");
    }

    const std::string deviceCode = randomToken();
    const std::string userCode = randomUserCode();
    {
        std::lock_guard lock(mutex_);
        authorizations_[deviceCode] = PendingAuthorization{
            userCode, *publicKey,
            std::chrono::steady_clock::now() + std::chrono::seconds(options_.authorizationLifetimeSeconds),
            options_.autoApprove};
    }
    answerJSON(connection, 200,
               {{"device_code", deviceCode},
                {"user_code", userCode},
                {"verification_uri", baseURL() + "/device"},
                {"verification_uri_complete", baseURL() + "/device?user_code=" + userCode},
                {"expires_in", options_.authorizationLifetimeSeconds},
                {"interval", options_.pollIntervalSeconds}},
               fault);
}

void StandInService::pollToken(const ServerRequest& request, Connection& connection,
                               const std::optional<Fault>& fault) {
    const auto body = stringMembers(request.body, {"device_code", "device_proof_b64"});
    if (!body) {
        return answerError(connection, 400, "The token request is incomplete.");
    }
    const std::string deviceCode = body->at("device_code").get<std::string>();
    PendingAuthorization authorization;
    {
        std::lock_guard lock(mutex_);
        const auto found = authorizations_.find(deviceCode);
        if (found == authorizations_.end())
            return answerError(connection, 400, "This sign-in request is unknown.");
        authorization = found->second;
        if (std::chrono::steady_clock::now() >= authorization.expiresAt) {
            authorizations_.erase(found);
            return answerError(connection, 400, "This sign-in request has expired.");
        }
    }
    if (!authorization.approved) return answerError(connection, 428, "Waiting for approval in the browser.");

    const auto proof = platform::base64Decode(body->at("device_proof_b64").get<std::string>());
    const bool proven = proof && platform::P256PublicKey::fromX963(authorization.publicKeyX963)
                                     .verify("halvex-device-token:" + deviceCode, *proof);
    if (!proven) return answerError(connection, 400, "The device could not prove its key.");

    std::string token = randomToken();
    {
        std::lock_guard lock(mutex_);
        authorizations_.erase(deviceCode);
        tokens_.insert(token);
    }
    answerJSON(connection, 200, {{"access_token", token}, {"token_type", "Bearer"}, {"expires_in", 2592000}},
               fault);
}

void StandInService::browserPage(const ServerRequest& request, Connection& connection) {
    if (request.method == "POST") {
        const std::string userCode = formValue(request.body, "user_code");
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            for (auto& [code, authorization] : authorizations_) {
                if (authorization.userCode == userCode) {
                    authorization.approved = true;
                    known = true;
                }
            }
        }
        const std::string text = known ? "<p>HALVEX HUB is signed in. You can close this page.</p>"
                                       : "<p>That code is unknown or has expired.</p>";
        return connection.respond(known ? 200 : 400, {{"Content-Type", "text/html; charset=utf-8"}},
                                  page(text));
    }
    const std::string userCode = formValue(request.query, "user_code");
    connection.respond(
        200, {{"Content-Type", "text/html; charset=utf-8"}},
        page("<p>Confirm the code shown in HALVEX HUB.</p><form method=\"post\" action=\"/device\">"
             "<input name=\"user_code\" value=\"" +
             htmlEscaped(userCode) + "\"> <button type=\"submit\">Approve</button></form>"));
}

void StandInService::serveArtwork(const ServerRequest& request, Connection& connection,
                                  const std::optional<Fault>& fault) {
    if (!authorized(request)) return answerError(connection, 401, "Your sign-in has expired. Sign in again.");
    const std::string releaseID = request.path.substr(
        std::string("/v1/releases/").size(),
        request.path.size() - std::string("/v1/releases/").size() - std::string("/artwork").size());
    std::optional<std::string> png;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = artwork_.find(releaseID); found != artwork_.end()) png = found->second;
    }
    if (!png) return answerError(connection, 404, "This release has no artwork.");
    const std::string contentType =
        fault && fault->overrideContentType ? *fault->overrideContentType : "image/png";
    connection.respond(200, {{"Content-Type", contentType}}, *png);
}

void StandInService::serveFile(const ServerRequest& request, Connection& connection,
                               const std::optional<Fault>& fault) {
    const std::string name = request.path.substr(std::string("/files/").size());
    std::optional<ServedFile> file;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = files_.find(name); found != files_.end()) file = found->second;
    }
    if (!file) return answerError(connection, 404, "No such file.");
    if (!name.starts_with("hub/") && !authorized(request)) {
        return answerError(connection, 401, "Your sign-in has expired. Sign in again.");
    }

    platform::UniqueFd fd;
    std::uint64_t size = 0;
    if (file->content) {
        size = file->content->size();
    } else {
        fd.reset(::open(file->path->c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!fd || ::fstat(fd.get(), &status) != 0) return answerError(connection, 404, "No such file.");
        size = static_cast<std::uint64_t>(status.st_size);
    }

    std::uint64_t start = 0;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Type",
         fault && fault->overrideContentType ? *fault->overrideContentType : "application/octet-stream"},
        {"Accept-Ranges", "bytes"}};
    const auto range = rangeStart(request.header("range"));
    if (range && !(fault && fault->ignoreRange)) {
        if (*range >= size) {
            connection.respond(416, {{"Content-Range", "bytes */" + std::to_string(size)}}, "");
            return;
        }
        start = *range;
        status = 206;
        const auto claimed =
            fault && fault->contentRangeStart ? static_cast<std::uint64_t>(*fault->contentRangeStart) : start;
        headers.emplace_back("Content-Range", "bytes " + std::to_string(claimed) + "-" +
                                                  std::to_string(size - 1) + "/" + std::to_string(size));
    }
    std::uint64_t length = size - start;
    if (!connection.writeHead(status, headers, length)) return;
    if (fault && fault->truncateAfterBytes)
        length = std::min<std::uint64_t>(length, *fault->truncateAfterBytes);
    if (file->content) {
        connection.write(std::string_view(*file->content).substr(start, length));
    } else {
        connection.writeFile(fd.get(), start, length);
    }
}

}  // namespace halvex::tools

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

// The sign-in pages share one frame. Elements the end-to-end test reads carry ids: "user-code", "approve",
// "deny", "result".
std::string page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
           htmlEscaped(title) +
           " · HALVEX</title><style>"
           "body{margin:0;background:#111418;color:#e8eaed;font-family:Inter,'Helvetica "
           "Neue',Arial,sans-serif}"
           "main{max-width:30rem;margin:12vh auto;padding:2.5rem;background:#1b2026;border:1px solid #2c333b;"
           "border-radius:14px}"
           ".brand{letter-spacing:.3em;font-weight:800;font-size:.8rem;color:#8a939d;margin:0 0 1.5rem}"
           "h1{font-size:1.6rem;margin:0 0 1rem}p{line-height:1.5;color:#b8bec5}"
           ".code{font:700 2.2rem/1 'DejaVu Sans Mono',monospace;letter-spacing:.15em;text-align:center;"
           "padding:1rem;margin:1.5rem 0;background:#0d1013;border-radius:10px;color:#7fe0b6}"
           "form{display:flex;gap:.75rem;margin-top:1.5rem}button,input{font:inherit;border-radius:8px;"
           "padding:.7rem 1.2rem}button{border:0;cursor:pointer;font-weight:600}"
           "button.approve{background:#7fe0b6;color:#0d1013;flex:1}button.deny{background:#2c333b;color:#"
           "e8eaed}"
           "input{flex:1;background:#0d1013;color:#e8eaed;border:1px solid #2c333b;text-transform:uppercase}"
           ".result{font-weight:600}.ok{color:#7fe0b6}.bad{color:#ff8a80}"
           "</style></head><body><main><p class=\"brand\">HALVEX</p>" +
           body + "</main></body></html>";
}

std::string codeEntryPage(const std::string& notice) {
    return page("Activate HALVEX HUB",
                "<h1>Activate HALVEX HUB</h1>" + notice +
                    "<p>Enter the activation code that HALVEX HUB shows.</p>"
                    "<form method=\"get\" action=\"/device\"><input name=\"user_code\" autocomplete=\"off\" "
                    "aria-label=\"Activation code\" placeholder=\"XXXX-XXXX\"><button class=\"approve\" "
                    "type=\"submit\">Continue</button></form>");
}

std::string resultPage(const std::string& title, const std::string& cssClass, const std::string& text) {
    return page(title, "<h1 id=\"result\" class=\"result " + cssClass + "\">" + htmlEscaped(title) +
                           "</h1><p>" + htmlEscaped(text) + "</p>");
}

std::string normalisedUserCode(std::string code) {
    std::transform(code.begin(), code.end(), code.begin(), [](unsigned char c) { return std::toupper(c); });
    return code;
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
    server_.start(options_.host, options_.port, options_.tls);
    if (options_.tls && options_.plainBrowserPages) {
        browserServer_ =
            std::make_unique<HttpServer>([this](const ServerRequest& request, Connection& connection) {
                if (request.path == "/device" && (request.method == "GET" || request.method == "POST"))
                    return browserPage(request, connection);
                if (request.method == "GET" && request.path.starts_with("/store/"))
                    return storePage(request, connection);
                answerError(connection, 404, "Not found.");
            });
        browserServer_->start(options_.host, 0);
    }
    if (options_.dataFolder) {
        std::lock_guard lock(reloadMutex_);
        loadDataFolder(*options_.dataFolder);
    }
}

StandInService::~StandInService() {
    if (browserServer_) browserServer_->stop();
    server_.stop();
}

std::string StandInService::baseURL() const {
    return (options_.tls ? "https://" : "http://") + options_.host + ":" + std::to_string(port());
}

std::string StandInService::browserBaseURL() const {
    if (!browserServer_) return baseURL();
    return "http://" + options_.host + ":" + std::to_string(browserServer_->port());
}

std::string StandInService::substituted(const std::string& text) const {
    std::string result = text;
    for (const auto& [marker, value] : {std::pair<std::string, std::string>{"{{BASE_URL}}", baseURL()},
                                        {"{{BROWSER_URL}}", browserBaseURL()}}) {
        for (auto position = result.find(marker); position != std::string::npos;
             position = result.find(marker, position + value.size())) {
            result.replace(position, marker.size(), value);
        }
    }
    return result;
}

namespace {

// Modification times and sizes of the files whose change makes the folder be read again.
std::string dataFolderStamp(const std::filesystem::path& folder) {
    std::string stamp;
    for (const char* name : {"catalog.json", "hub-latest.json"}) {
        std::error_code error;
        const auto time = std::filesystem::last_write_time(folder / name, error);
        const auto size = std::filesystem::file_size(folder / name, error);
        stamp += error ? std::string("-")
                       : std::to_string(time.time_since_epoch().count()) + ":" + std::to_string(size);
        stamp += ";";
    }
    return stamp;
}

}  // namespace

void StandInService::reloadChangedDataFolder() {
    if (!options_.dataFolder) return;
    std::lock_guard lock(reloadMutex_);
    if (dataFolderStamp(*options_.dataFolder) == dataStamp_) return;
    loadDataFolder(*options_.dataFolder);
}

void StandInService::loadDataFolder(const std::filesystem::path& folder) {
    dataStamp_ = dataFolderStamp(folder);
    const auto readJSON = [&](const std::filesystem::path& path) {
        return nlohmann::json::parse(substituted(platform::readFile(path, 64 * 1024 * 1024)));
    };
    if (std::filesystem::exists(folder / "catalog.json")) setCatalog(readJSON(folder / "catalog.json"));
    setHubRelease(std::filesystem::exists(folder / "hub-latest.json")
                      ? std::optional(readJSON(folder / "hub-latest.json"))
                      : std::nullopt);
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
    reloadChangedDataFolder();
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
    if (get && path.starts_with("/store/")) return storePage(request, connection);
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
            userCode, body->at("device_name").get<std::string>(), *publicKey,
            std::chrono::steady_clock::now() + std::chrono::seconds(options_.authorizationLifetimeSeconds),
            options_.autoApprove};
    }
    answerJSON(connection, 200,
               {{"device_code", deviceCode},
                {"user_code", userCode},
                {"verification_uri", browserBaseURL() + "/device"},
                {"verification_uri_complete", browserBaseURL() + "/device?user_code=" + userCode},
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
    if (authorization.denied) {
        std::lock_guard lock(mutex_);
        authorizations_.erase(deviceCode);
        return answerError(connection, 400, "The sign-in was denied in the browser.");
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

std::optional<StandInService::PendingAuthorization> StandInService::findByUserCode(
    const std::string& userCode) {
    const std::string wanted = normalisedUserCode(userCode);
    std::lock_guard lock(mutex_);
    for (const auto& [code, authorization] : authorizations_) {
        if (authorization.userCode == wanted && std::chrono::steady_clock::now() < authorization.expiresAt)
            return authorization;
    }
    return std::nullopt;
}

void StandInService::browserPage(const ServerRequest& request, Connection& connection) {
    if (request.method == "POST") return browserDecision(request, connection);
    const auto html = [&](int status, const std::string& body) {
        connection.respond(
            status, {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-store"}}, body);
    };
    const std::string userCode = formValue(request.query, "user_code");
    if (userCode.empty()) return html(200, codeEntryPage(""));
    const auto authorization = findByUserCode(userCode);
    if (!authorization) {
        return html(404,
                    codeEntryPage("<p class=\"result bad\" id=\"result\">The code " + htmlEscaped(userCode) +
                                  " is unknown or has expired. Check the code in HALVEX HUB, or start "
                                  "the sign-in again there.</p>"));
    }
    if (authorization->approved) {
        return html(200, resultPage("Already approved", "ok",
                                    "This sign-in is approved. HALVEX HUB opens your library by itself; you "
                                    "can close this page."));
    }
    if (authorization->denied) {
        return html(200, resultPage("Sign-in denied", "bad",
                                    "You denied this sign-in. Start it again from HALVEX HUB if that was a "
                                    "mistake."));
    }
    const std::string code = htmlEscaped(authorization->userCode);
    html(200, page("Approve sign-in",
                   "<h1>Sign in to HALVEX HUB</h1><p>HALVEX HUB on <strong>" +
                       htmlEscaped(authorization->deviceName) +
                       "</strong> asks to sign in to your HALVEX account.</p><p>Approve only if the hub "
                       "shows this activation code:</p><div class=\"code\" id=\"user-code\">" +
                       code +
                       "</div><form method=\"post\" action=\"/device\"><input type=\"hidden\" "
                       "name=\"user_code\" value=\"" +
                       code +
                       "\"><button class=\"deny\" id=\"deny\" name=\"decision\" value=\"deny\" "
                       "type=\"submit\">Deny</button><button class=\"approve\" id=\"approve\" "
                       "name=\"decision\" value=\"approve\" type=\"submit\">Approve</button></form>"));
}

void StandInService::browserDecision(const ServerRequest& request, Connection& connection) {
    const std::string userCode = normalisedUserCode(formValue(request.body, "user_code"));
    const bool deny = formValue(request.body, "decision") == "deny";
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& [code, authorization] : authorizations_) {
            const bool live = std::chrono::steady_clock::now() < authorization.expiresAt;
            if (authorization.userCode != userCode || !live || authorization.denied) continue;
            if (deny && authorization.approved) continue;
            (deny ? authorization.denied : authorization.approved) = true;
            known = true;
        }
    }
    std::string body;
    if (!known) {
        body = resultPage("Code not accepted", "bad",
                          "That code is unknown, has expired or was already used. Start the sign-in again "
                          "from HALVEX HUB.");
    } else if (deny) {
        body = resultPage("Sign-in denied", "bad", "HALVEX HUB was not signed in. You can close this page.");
    } else {
        body = resultPage("HALVEX HUB is signed in", "ok",
                          "Your plugin library opens in the hub by itself. You can close this page.");
    }
    connection.respond(known ? 200 : 400,
                       {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-store"}}, body);
}

void StandInService::storePage(const ServerRequest& request, Connection& connection) {
    const std::string item = request.path.substr(std::string("/store/").size());
    connection.respond(
        200, {{"Content-Type", "text/html; charset=utf-8"}},
        page("HALVEX store", "<h1>" + htmlEscaped(item) +
                                 "</h1><p>This is the demo service: it sells nothing. In the real store this "
                                 "page offers the product or subscription; after a purchase the hub shows it "
                                 "in the library at its next refresh.</p>"));
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
    const bool isPublic = name.starts_with("hub/") || name.starts_with("media/");
    if (!isPublic && !authorized(request)) {
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
    // Paced in slices of a tenth of a second; unpaced, one write does it all.
    const std::uint64_t rate = isPublic ? 0 : options_.downloadBytesPerSecond;
    const std::uint64_t slice = rate > 0 ? std::max<std::uint64_t>(rate / 10, 1) : length;
    for (std::uint64_t sent = 0; sent < length;) {
        const std::uint64_t piece = std::min(slice, length - sent);
        const bool written =
            file->content ? connection.write(std::string_view(*file->content).substr(start + sent, piece))
                          : connection.writeFile(fd.get(), start + sent, piece);
        if (!written) return;
        sent += piece;
        if (rate > 0 && sent < length) connection.pause(std::chrono::milliseconds(100));
    }
}

}  // namespace halvex::tools

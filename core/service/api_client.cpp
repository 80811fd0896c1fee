#include "core/service/api_client.h"

#include <cerrno>
#include <fstream>
#include <regex>
#include <system_error>

#include "core/foundation/halvex_error.h"
#include "core/foundation/utf8.h"
#include "core/service/content_range.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"

namespace halvex {

namespace {

// A header value must not carry line breaks or other control characters (they would forge headers).
bool isHeaderSafe(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

HalvexError signInFirst() {
    return HalvexError::configuration("Sign in to HALVEX HUB first.");
}

std::optional<std::string> envelopeMessage(std::string_view body) {
    try {
        const auto document = parseJSON(body);
        const json::JSONObject envelope(document, "");
        const auto detail = envelope.required<nlohmann::json>("error");
        return json::JSONObject(detail, "error").required<std::string>("message");
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

void hashFile(const std::filesystem::path& path, platform::Sha256& digest) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::system_error(errno, std::generic_category(), "open " + path.string());
    std::string buffer(1 << 20, '\0');
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.update(std::string_view(buffer.data(), static_cast<std::size_t>(file.gcount())));
    }
    if (file.bad()) throw std::system_error(EIO, std::generic_category(), "read " + path.string());
}

std::int64_t fileSize(const std::filesystem::path& path) {
    const auto size = platform::fileSize(path);
    return size ? static_cast<std::int64_t>(*size) : -1;
}

}  // namespace

APIClient::APIClient(HalvexConfiguration configuration, KeychainStore keychain)
    : APIClient(std::move(configuration), std::move(keychain), Timeouts{}) {}

APIClient::APIClient(HalvexConfiguration configuration, KeychainStore keychain, Timeouts timeouts)
    : configuration_(std::move(configuration)), keychain_(std::move(keychain)), timeouts_(timeouts) {}

bool APIClient::hasCredential() const {
    return keychain_.read(credentialAccount).has_value();
}

void APIClient::signOut() const {
    keychain_.remove(credentialAccount);
}

Url APIClient::endpoint(std::string_view path) const {
    auto url = configuration_.apiBaseURL.resolving(path);
    if (!url) throw HalvexError::configuration("The HALVEX API URL is invalid.");
    return std::move(*url);
}

std::string APIClient::storedToken() const {
    const auto token = keychain_.read(credentialAccount);
    if (!token || !isValidUTF8(*token) || !isHeaderSafe(*token)) throw signInFirst();
    return *token;
}

HttpRequest APIClient::authorizedRequest(std::string_view path) const {
    HttpRequest request{"GET", endpoint(path), {}, {}, timeouts_.request};
    request.headers.emplace_back("Authorization", "Bearer " + storedToken());
    return request;
}

HttpRequest APIClient::jsonPost(std::string_view path, const nlohmann::json& body) const {
    return HttpRequest{
        "POST", endpoint(path), {{"Content-Type", "application/json"}}, body.dump(), timeouts_.request};
}

HttpResponse APIClient::exchange(const HttpRequest& request, std::stop_token stop) const {
    HttpResponse answer;
    try {
        answer = HttpTransport::send(request, maximumRecordBytes, stop);
    } catch (const HttpTransport::BodyTooLarge&) {
        throw HalvexError::invalidResponse();
    }
    if (answer.head.status == 401) {
        const bool carriedCredential =
            std::any_of(request.headers.begin(), request.headers.end(),
                        [](const auto& header) { return header.first == "Authorization"; });
        if (carriedCredential) {
            try {
                keychain_.remove(credentialAccount);
            } catch (const HalvexError&) {
                // The 401 is what the caller must hear; a failed clean-up changes nothing about it.
            }
        }
    }
    return answer;
}

HalvexError APIClient::serverError(const HttpResponseHead& head, std::string_view body) {
    if (head.status < 100 || head.status > 599) return HalvexError::invalidResponse();
    return HalvexError::server(static_cast<int>(head.status),
                               envelopeMessage(body).value_or(reasonPhrase(head.status)));
}

Catalog APIClient::catalog(std::stop_token stop) const {
    return response<Catalog>(authorizedRequest("/v1/catalog"), stop);
}

HubRelease APIClient::latestHubRelease(std::stop_token stop) const {
    return response<HubRelease>(HttpRequest{"GET", endpoint("/v1/hub/latest"), {}, {}, timeouts_.hubRelease},
                                stop);
}

std::optional<std::string> APIClient::releaseArtwork(const Release& release, std::stop_token stop) const {
    static const std::regex releaseIdentifier("^rel_[A-Za-z0-9_-]+$");
    if (release.channel != "beta" || release.platform != "macos" ||
        !std::regex_match(release.releaseID, releaseIdentifier)) {
        throw HalvexError::invalidResponse();
    }
    auto request = authorizedRequest("/v1/releases/" + release.releaseID + "/artwork");
    request.timeout = timeouts_.artwork;

    HttpResponse answer;
    try {
        answer = HttpTransport::send(request, maximumArtworkBytes, stop);
    } catch (const HttpTransport::BodyTooLarge&) {
        throw HalvexError::invalidResponse();
    }
    if (answer.head.finalURL != request.url.string()) throw HalvexError::invalidResponse();
    if (answer.head.status == 404) return std::nullopt;
    if (answer.head.status == 200) {
        if (answer.head.header("Content-Type") != "image/png") throw HalvexError::invalidResponse();
        return std::move(answer.body);
    }
    throw serverError(answer.head, answer.body);
}

void APIClient::download(const Release& release, const std::filesystem::path& destination,
                         std::stop_token stop, const DownloadProgress& progress) const {
    download(release.downloadURL, destination, release.sizeBytes, "Bearer " + storedToken(), stop, progress);
}

void APIClient::download(const HubRelease& release, const std::filesystem::path& destination,
                         std::stop_token stop) const {
    download(release.downloadURL, destination, release.sizeBytes, std::nullopt, stop);
}

std::string APIClient::downloadHashing(const Release& release, const std::filesystem::path& destination,
                                       std::stop_token stop, const DownloadProgress& progress) const {
    platform::Sha256 digest;
    download(release.downloadURL, destination, release.sizeBytes, "Bearer " + storedToken(), stop, progress,
             &digest);
    return platform::hexString(digest.finish());
}

void APIClient::download(const Url& source, const std::filesystem::path& destination,
                         std::int64_t expectedSize, const std::optional<std::string>& authorization,
                         std::stop_token stop, const DownloadProgress& progress,
                         platform::Sha256* digest) const {
    if (destination.has_parent_path()) platform::createDirectories(destination.parent_path(), 0700);

    const std::int64_t existingSize = std::max<std::int64_t>(0, fileSize(destination));
    std::int64_t offset = existingSize;
    if (existingSize > expectedSize) {
        platform::removeTree(destination);
        offset = 0;
    } else if (digest && existingSize > 0) {
        hashFile(destination, *digest);
    }
    if (existingSize == expectedSize) return;

    HttpRequest request{"GET", source, {}, {}, timeouts_.download};
    if (authorization) request.headers.emplace_back("Authorization", *authorization);
    if (offset >= 1) request.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-");

    platform::UniqueFd file;
    std::string buffer;
    buffer.reserve(downloadBufferBytes);
    std::int64_t received = 0;

    const auto acceptAnswer = [&](const HttpResponseHead& head) {
        if (head.status == 200 && offset >= 1) {
            // The server ignored the range: start the file over.
            platform::removeTree(destination);
            offset = 0;
            if (digest) *digest = platform::Sha256();
        } else if (head.status == 206) {
            const auto range = head.header("Content-Range");
            const auto view = range ? std::optional<std::string_view>(*range) : std::nullopt;
            if (!continuesAt(view, offset)) throw HalvexError::invalidResponse();
        } else if (head.status != 200) {
            throw serverError(head, {});
        }
        file = platform::openForAppend(destination, 0600);
    };
    const auto appendBody = [&](std::string_view bytes) {
        received += static_cast<std::int64_t>(bytes.size());
        // Never write past the expected size: endless data ends as a size mismatch, not a full disk.
        if (offset + received > expectedSize) throw HalvexError::invalidResponse();
        if (digest) digest->update(bytes);
        while (!bytes.empty()) {
            const auto taken = std::min(bytes.size(), downloadBufferBytes - buffer.size());
            buffer.append(bytes.substr(0, taken));
            bytes.remove_prefix(taken);
            if (buffer.size() == downloadBufferBytes) {
                platform::writeAll(file.get(), buffer, destination.string());
                buffer.clear();
                if (progress) progress(offset + received, expectedSize);
            }
        }
    };

    HttpTransport::stream(request, acceptAnswer, appendBody, stop);
    if (!buffer.empty()) platform::writeAll(file.get(), buffer, destination.string());
    if (progress) progress(offset + received, expectedSize);
    file.reset();
    if (fileSize(destination) != expectedSize) throw HalvexError::invalidResponse();
}

}  // namespace halvex

#include "core/foundation/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace halvex {

namespace {

struct UrlHandleFree {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleFree>;

constexpr unsigned int parseFlags = CURLU_NON_SUPPORT_SCHEME;

std::optional<std::string> urlText(CURLU* handle) {
    char* text = nullptr;
    if (curl_url_get(handle, CURLUPART_URL, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
    std::string result(text);
    curl_free(text);
    return result;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    UrlHandle handle(curl_url());
    if (!handle) return std::nullopt;
    const std::string input(text);
    if (curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), parseFlags) != CURLUE_OK)
        return std::nullopt;
    auto normalised = urlText(handle.get());
    if (!normalised) return std::nullopt;
    return Url(std::move(*normalised));
}

std::optional<Url> Url::resolving(std::string_view reference) const {
    if (reference.find('\0') != std::string_view::npos) return std::nullopt;
    UrlHandle handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text_.c_str(), parseFlags) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::string input(reference);
    if (curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), parseFlags) != CURLUE_OK)
        return std::nullopt;
    auto resolved = urlText(handle.get());
    if (!resolved) return std::nullopt;
    return Url(std::move(*resolved));
}

std::string Url::part(int which) const {
    UrlHandle handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text_.c_str(), parseFlags) != CURLUE_OK)
        return {};
    char* value = nullptr;
    if (curl_url_get(handle.get(), static_cast<CURLUPart>(which), &value, 0) != CURLUE_OK ||
        value == nullptr) {
        return {};
    }
    std::string result(value);
    curl_free(value);
    return result;
}

std::string Url::scheme() const {
    return part(CURLUPART_SCHEME);
}
std::string Url::host() const {
    return part(CURLUPART_HOST);
}
std::string Url::path() const {
    return part(CURLUPART_PATH);
}

bool Url::hasCredentials() const {
    return !part(CURLUPART_USER).empty() || !part(CURLUPART_PASSWORD).empty();
}

namespace {

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "[::1]") return true;
    // libcurl writes IPv4 literals as four decimal numbers; 127.0.0.0/8 is the loopback network.
    int parts = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        const auto end = std::min(host.find('.', start), host.size());
        const auto part = std::string_view(host).substr(start, end - start);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(part)) > 255)
            return false;
        if (parts == 0 && part != "127") return false;
        ++parts;
        start = end + 1;
    }
    return parts == 4;
}

}  // namespace

bool Url::isBrowserAddress() const {
    const auto kind = scheme();
    const auto name = host();
    if (name.empty()) return false;
    return kind == "https" || (kind == "http" && isLoopbackHost(name));
}

std::optional<int> Url::port() const {
    const auto text = part(CURLUPART_PORT);
    if (text.empty()) return std::nullopt;
    return std::stoi(text);
}

}  // namespace halvex

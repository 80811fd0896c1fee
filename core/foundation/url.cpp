#include "core/foundation/url.h"

#include <curl/curl.h>

#include <memory>

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

std::optional<int> Url::port() const {
    const auto text = part(CURLUPART_PORT);
    if (text.empty()) return std::nullopt;
    return std::stoi(text);
}

}  // namespace halvex

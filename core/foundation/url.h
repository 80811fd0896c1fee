#pragma once

// An absolute URL, parsed and normalised by libcurl's URL API (RFC 3986). Values are immutable.

#include <optional>
#include <string>
#include <string_view>

namespace halvex {

class Url {
  public:
    // Absent for an empty string, a relative reference or anything libcurl refuses (white space,
    // bad percent-encoding, an invalid port, ...).
    static std::optional<Url> parse(std::string_view text);

    // The reference resolved against this URL as a base (RFC 3986 section 5); absent when that fails.
    std::optional<Url> resolving(std::string_view reference) const;

    const std::string& string() const { return text_; }
    std::string scheme() const;
    std::string host() const;         // empty when the URL has none
    std::optional<int> port() const;  // the explicit port only
    std::string path() const;
    bool hasCredentials() const;  // a user name or password

    // Whether the user's browser may be sent here: https, or http to this machine (a loopback address or
    // "localhost"). Any other scheme (file:, a custom scheme handler, ...) would hand a server's text to
    // a program other than the browser.
    bool isBrowserAddress() const;

    bool operator==(const Url&) const = default;

  private:
    explicit Url(std::string text) : text_(std::move(text)) {}
    std::string part(int which) const;

    std::string text_;
};

}  // namespace halvex

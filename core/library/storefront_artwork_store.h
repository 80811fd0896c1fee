#pragma once

// Product screenshots from the maker's web storefront: the product JSON names the one image whose
// alternative text marks the interface screenshot, and only images in the storefront's own file area on
// its CDN are trusted. The last good copy per slug is kept in a cache file, so the view shows it at once
// and a refresh replaces it in the background. Nothing is reported; failures keep the last good copy.
// Thread-safe (one operation at a time per store).

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundation/url.h"

namespace halvex {

inline constexpr const char* storefrontFileHost = "cdn.halvexaudio-store.com";
inline constexpr const char* storefrontFileArea = "/s/files/1/0712/4418/2093/";

struct StorefrontScreenshot {
    Url url;
    std::string alt;

    bool operator==(const StorefrontScreenshot&) const = default;

    static std::optional<Url> productURL(std::string_view slug);
    static std::optional<Url> trustedImageURL(std::string_view text);
    // The interface screenshot of the product JSON, absent when it has none. Throws when the JSON does not
    // decode, belongs to another slug, or names an unusable address for the chosen image.
    static std::optional<StorefrontScreenshot> parse(std::string_view json, std::string_view slug);
};

class StorefrontArtworkStore {
  public:
    struct Artwork {
        StorefrontScreenshot source;
        std::string data;
        bool operator==(const Artwork&) const = default;
    };
    using Fetch = std::function<std::string(const Url&)>;

    static constexpr std::size_t maximumProductJSONBytes = 1024 * 1024;
    static constexpr std::size_t maximumCacheFileBytes = 15 * 1024 * 1024;

    // Defaults: the user's caches folder + "com.halvex.hub/StorefrontArtwork", and `download`.
    StorefrontArtworkStore();
    StorefrontArtworkStore(std::filesystem::path directory, Fetch fetch);

    std::optional<Artwork> cached(std::string_view slug) const;
    std::optional<Artwork> refresh(std::string_view slug);

    // One GET through a fresh handle (no cookies, no cache): status exactly 200 from the address asked for,
    // at most 10 MiB. Throws HalvexError::invalidResponse otherwise, transport errors as they are.
    static std::string download(const Url& url);
    static bool validImage(std::string_view bytes);

  private:
    std::optional<std::filesystem::path> cacheURL(std::string_view slug) const;

    std::filesystem::path directory_;
    Fetch fetch_;
    mutable std::mutex mutex_;
};

}  // namespace halvex

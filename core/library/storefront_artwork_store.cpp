#include "core/library/storefront_artwork_store.h"

#include <algorithm>

#include "core/foundation/halvex_error.h"
#include "core/foundation/json_decoding.h"
#include "core/service/catalog.h"
#include "core/service/http_transport.h"
#include "platform/base64.h"
#include "platform/file_io.h"
#include "platform/image_validation.h"
#include "platform/standard_folders.h"

namespace halvex {

namespace {

bool isStoreSafe(std::string_view slug) {
    return !slug.empty() && std::all_of(slug.begin(), slug.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

struct Media {
    std::string mediaType;
    std::optional<std::string> alt;
    std::optional<std::string> src;

    static Media decode(const json::JSONObject& object) {
        return {object.required<std::string>("media_type"), object.optional<std::string>("alt"),
                object.optional<std::string>("src")};
    }
};

struct ProductMedia {
    std::string handle;
    std::vector<Media> media;

    static ProductMedia decode(const json::JSONObject& object) {
        return {object.required<std::string>("handle"), object.required<std::vector<Media>>("media")};
    }
};

std::string encodeArtwork(const StorefrontArtworkStore::Artwork& artwork) {
    return nlohmann::json{{"source", {{"url", artwork.source.url.string()}, {"alt", artwork.source.alt}}},
                          {"data", platform::base64Encode(artwork.data)}}
        .dump();
}

std::optional<StorefrontArtworkStore::Artwork> decodeArtwork(const std::string& text) {
    try {
        const auto document = parseJSON(text);
        const json::JSONObject artwork(document, "");
        const auto sourceValue = artwork.required<nlohmann::json>("source");
        const json::JSONObject source(sourceValue, "source");
        auto data = platform::base64Decode(artwork.required<std::string>("data"));
        if (!data) return std::nullopt;
        return StorefrontArtworkStore::Artwork{
            {source.required<Url>("url"), source.required<std::string>("alt")}, std::move(*data)};
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<Url> StorefrontScreenshot::productURL(std::string_view slug) {
    if (!isStoreSafe(slug)) return std::nullopt;
    return Url::parse(std::string(storeProductPagePrefix) + std::string(slug) + ".js");
}

std::optional<Url> StorefrontScreenshot::trustedImageURL(std::string_view text) {
    std::string address(text);
    if (address.starts_with("//")) address = "https:" + address;
    // The prefix is checked on the text too: curl normalises the path ("/../" segments) when parsing.
    const auto url = Url::parse(address);
    if (!url || url->scheme() != "https" || url->host() != storefrontFileHost || url->hasCredentials() ||
        url->port() || !url->path().starts_with(storefrontFileArea)) {
        return std::nullopt;
    }
    return url;
}

std::optional<StorefrontScreenshot> StorefrontScreenshot::parse(std::string_view json,
                                                                std::string_view slug) {
    const auto product = json::decodeRecord<ProductMedia>(json);
    if (product.handle != slug) throw HalvexError::invalidResponse();
    for (const auto& media : product.media) {
        if (media.mediaType != "image" || !media.alt ||
            media.alt->find("macOS interface") == std::string::npos) {
            continue;
        }
        const auto url = media.src ? trustedImageURL(*media.src) : std::nullopt;
        if (!url) throw HalvexError::invalidResponse();
        return StorefrontScreenshot{*url, *media.alt};
    }
    return std::nullopt;
}

StorefrontArtworkStore::StorefrontArtworkStore()
    : StorefrontArtworkStore(platform::standardFolders().caches / "StorefrontArtwork", download) {}

StorefrontArtworkStore::StorefrontArtworkStore(std::filesystem::path directory, Fetch fetch)
    : directory_(std::move(directory)), fetch_(std::move(fetch)) {}

bool StorefrontArtworkStore::validImage(std::string_view bytes) {
    return platform::validImage(bytes);
}

std::string StorefrontArtworkStore::download(const Url& url) {
    HttpRequest request{"GET", url, {}, {}, std::chrono::seconds(15)};
    HttpResponse answer;
    try {
        answer = HttpTransport::send(request, platform::maximumImageBytes);
    } catch (const HttpTransport::BodyTooLarge&) {
        throw HalvexError::invalidResponse();
    }
    if (answer.head.status != 200 || answer.head.finalURL != url.string())
        throw HalvexError::invalidResponse();
    return std::move(answer.body);
}

std::optional<std::filesystem::path> StorefrontArtworkStore::cacheURL(std::string_view slug) const {
    if (!StorefrontScreenshot::productURL(slug)) return std::nullopt;
    return directory_ / (std::string(slug) + ".json");
}

std::optional<StorefrontArtworkStore::Artwork> StorefrontArtworkStore::cached(std::string_view slug) const {
    const auto file = cacheURL(slug);
    if (!file) return std::nullopt;
    std::string text;
    try {
        text = platform::readFile(*file, maximumCacheFileBytes);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    auto artwork = decodeArtwork(text);
    if (!artwork || !StorefrontScreenshot::trustedImageURL(artwork->source.url.string()) ||
        !validImage(artwork->data)) {
        return std::nullopt;
    }
    return artwork;
}

std::optional<StorefrontArtworkStore::Artwork> StorefrontArtworkStore::refresh(std::string_view slug) {
    const auto productURL = StorefrontScreenshot::productURL(slug);
    const auto file = cacheURL(slug);
    if (!productURL || !file) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto previous = cached(slug);
    std::optional<StorefrontScreenshot> screenshot;
    try {
        const auto json = fetch_(*productURL);
        if (json.size() > maximumProductJSONBytes) return previous;
        screenshot = StorefrontScreenshot::parse(json, slug);
    } catch (const std::exception&) {
        return previous;
    }
    if (!screenshot) {
        platform::removeTreeQuietly(*file);  // the storefront has none any more
        return std::nullopt;
    }
    if (previous && previous->source == *screenshot) return previous;
    Artwork artwork{*screenshot, {}};
    try {
        artwork.data = fetch_(screenshot->url);
    } catch (const std::exception&) {
        return previous;
    }
    if (!validImage(artwork.data)) return previous;
    try {
        platform::createDirectories(directory_, 0755);
        platform::writeFileAtomically(*file, encodeArtwork(artwork), 0644);
    } catch (const std::exception&) {
        // Shown all the same; the next refresh writes the cache again.
    }
    return artwork;
}

}  // namespace halvex

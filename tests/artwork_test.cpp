#include <gtest/gtest.h>

#include <fstream>

#include "core/foundation/halvex_error.h"
#include "core/library/release_artwork_store.h"
#include "core/library/storefront_artwork_store.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "platform/image_validation.h"
#include "tests/support/ci_skip.h"
#include "tests/support/images.h"
#include "tests/support/service_fixture.h"
#include "tests/support/temporary_directory.h"

namespace halvex {
namespace {

using JSON = nlohmann::json;

TEST(ImageValidation, DimensionsAreCheckedBeforeDecoding) {
    EXPECT_TRUE(platform::validImage(test::pngImage(8192, 8192)));
    EXPECT_FALSE(platform::validImage(test::pngImage(8193, 1)));
    EXPECT_FALSE(platform::validImage(test::pngImage(1, 8193)));
    EXPECT_TRUE(platform::validImage(test::jpegImage(64, 48)));
    const auto png = test::pngImage(32, 32);
    const auto jpeg = test::jpegImage(32, 32);
    const std::vector<std::pair<const char*, std::string>> refused = {
        {"truncated PNG", png.substr(0, png.size() / 2)},
        {"truncated JPEG", jpeg.substr(0, 40)},
        {"PNG signature only", png.substr(0, 8)},
        {"text", "not an image"},
        {"empty", ""},
        {"over 10 MiB", png + std::string(10 * 1024 * 1024, '\0')},
    };
    for (const auto& [name, bytes] : refused) EXPECT_FALSE(platform::validImage(bytes)) << name;
    // A header that claims a huge image is refused without allocating for it.
    auto lying = test::pngImage(16, 16);
    lying.replace(16, 8, std::string("\x00\x01\x00\x00\x00\x01\x00\x00", 8));
    EXPECT_FALSE(platform::validImage(lying));
}

// Every PNG layout, interlaced or not, and JPEG, scaled down to fit a box: the left half black, the
// right half white (or transparent where the layout has alpha) on either side of a clean output column.
TEST(ImageDecoding, EveryLayoutDecodesScaledToFitWithItsColours) {
    using test::PngLayout;
    const auto halves = [](unsigned x, unsigned) {
        return x < 32 ? test::Pixel{0, 0, 0, 255} : test::Pixel{255, 255, 255, 0};
    };
    for (const auto layout : {PngLayout::grey, PngLayout::greyAlpha, PngLayout::palette, PngLayout::rgb,
                              PngLayout::rgba, PngLayout::rgb16}) {
        for (const bool interlaced : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "layout " << static_cast<int>(layout) << " interlaced " << interlaced);
            const auto image =
                platform::decodeImageToFit(test::pngImage(64, 31, layout, interlaced, halves), 16, 16);
            ASSERT_TRUE(image);
            ASSERT_EQ(image->width, 16u);
            ASSERT_EQ(image->height, 8u);
            const bool alpha = layout == PngLayout::greyAlpha || layout == PngLayout::rgba;
            const std::array<std::uint8_t, 4> right = alpha ? std::array<std::uint8_t, 4>{0, 0, 0, 0}
                                                            : std::array<std::uint8_t, 4>{255, 255, 255, 255};
            for (unsigned y = 0; y < image->height; ++y) {
                for (unsigned x = 0; x < image->width; ++x) {
                    const auto* pixel = image->pixels.data() + (y * image->width + x) * 4;
                    const std::array<std::uint8_t, 4> expected =
                        x < 8 ? std::array<std::uint8_t, 4>{0, 0, 0, 255} : right;
                    ASSERT_EQ((std::array<std::uint8_t, 4>{pixel[0], pixel[1], pixel[2], pixel[3]}), expected)
                        << x << "," << y;
                }
            }
        }
    }
    // Each output pixel is the average of what it covers; a small image is never scaled up.
    const auto checkered =
        platform::decodeImageToFit(test::pngImage(64, 64, test::PngLayout::grey, false,
                                                  [](unsigned x, unsigned y) {
                                                      const std::uint8_t grey = (x + y) % 2 ? 255 : 0;
                                                      return test::Pixel{grey, grey, grey, 255};
                                                  }),
                                   16, 16);
    ASSERT_TRUE(checkered);
    EXPECT_EQ(checkered->pixels[0], 128);
    EXPECT_EQ(platform::decodeImageToFit(test::pngImage(20, 10), 1000, 1000)->width, 20u);
    const auto jpeg = platform::decodeImageToFit(test::jpegImage(64, 48), 16, 16);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->width, 16u);
    EXPECT_EQ(jpeg->height, 12u);
    EXPECT_NEAR(jpeg->pixels[0], 0x40, 2);
    EXPECT_EQ(jpeg->pixels[3], 255);
    EXPECT_FALSE(platform::decodeImageToFit("not an image", 16, 16));
    EXPECT_FALSE(platform::decodeImageToFit(test::pngImage(8193, 1), 16, 16));
}

// The point of decoding to fit: an 8192² image never exists in memory at full size (256 MiB as RGBA).
TEST(ImageDecoding, AHugeImageCostsWhatItsBoxCosts) {
    const auto png = test::pngImage(8192, 8192);
    const auto jpeg = test::jpegImage(8192, 8192);
    const auto peakKiB = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        }
        return -1L;
    };
    for (const auto* bytes : {&png, &jpeg}) {
        // Resets the peak to what the process holds now.
        if (!(std::ofstream("/proc/self/clear_refs") << "5") || peakKiB() < 0)
            HALVEX_SKIP_OUTSIDE_CI("this kernel does not let a process reset its peak memory");
        const auto before = peakKiB();
        const auto image = platform::decodeImageToFit(*bytes, 160, 160);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, 160u);
        EXPECT_EQ(image->height, 160u);
        EXPECT_LT(peakKiB() - before, 32 * 1024) << (bytes == &png ? "PNG" : "JPEG");
    }
}

class ReleaseArtworkTest : public test::ServiceFixture {
  protected:
    std::filesystem::path file(const std::string& id) const { return folder / "Release" / (id + ".png"); }
    ReleaseArtworkStore store{folder / "Release"};
    std::string png = test::pngImage(4, 4);
};

TEST_F(ReleaseArtworkTest, KeepsTheLastGoodImageForOfflineMoments) {
    int fetches = 0;
    const auto counting = [&](std::optional<std::string> answer) {
        return [&, answer](const std::string&) {
            ++fetches;
            return answer;
        };
    };
    for (const std::string id : {"rel_", "REL_abc", "rel_a.b", "rel_a/b", "rel_a b"}) {
        EXPECT_EQ(store.refresh(id, counting(png)), std::nullopt) << id;
    }
    EXPECT_EQ(fetches, 0);

    EXPECT_EQ(store.refresh("rel_abc-12_X", counting(png)), png);
    EXPECT_EQ(platform::readFile(file("rel_abc-12_X"), 1 << 20), png);
    const auto offline = [](const std::string&) -> std::optional<std::string> {
        throw NetworkError(NetworkError::Kind::timedOut, 28, "Timeout was reached");
    };
    EXPECT_EQ(store.refresh("rel_abc-12_X", offline), png);
    const auto serviceError = [](const std::string&) -> std::optional<std::string> {
        throw HalvexError::server(500, "Internal Server Error");
    };
    EXPECT_EQ(store.refresh("rel_abc-12_X", serviceError), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(file("rel_abc-12_X")));
    EXPECT_EQ(store.refresh("rel_abc-12_X", counting(std::string("not a png"))), png)
        << "undecodable falls back";
    EXPECT_EQ(platform::readFile(file("rel_abc-12_X"), 1 << 20), png) << "and does not overwrite";
    EXPECT_EQ(store.refresh("rel_abc-12_X", counting(std::nullopt)), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(file("rel_abc-12_X")));
}

TEST_F(ReleaseArtworkTest, WorksWithTheAPIClientAgainstTheService) {
    signIn();
    service.setArtwork("rel_demo_1", png);
    JSON release = {{"release_id", "rel_demo_1"},
                    {"product_id", "p"},
                    {"slug", "s"},
                    {"name", "n"},
                    {"bundle_id", "b"},
                    {"version", "1.0.0-beta.1"},
                    {"channel", "beta"},
                    {"platform", "macos"},
                    {"architectures", {"arm64"}},
                    {"minimum_os", "1"},
                    {"minimum_hub_version", "1.0.0"},
                    {"size_bytes", 1},
                    {"sha256", ""},
                    {"manifest", ""},
                    {"download_url", service.baseURL()},
                    {"published_at", 1}};
    const auto record = json::decodeRecord<Release>(release.dump());
    const auto api = client();
    const auto fetch = [&](const std::string&) { return api.releaseArtwork(record); };
    EXPECT_EQ(store.refresh("rel_demo_1", fetch), png);
    const APIClient unreachable(configuration("http://127.0.0.1:1"), keychain);
    EXPECT_EQ(
        store.refresh("rel_demo_1", [&](const std::string&) { return unreachable.releaseArtwork(record); }),
        png);
}

std::string productJSON(const std::string& handle, const JSON& media) {
    return JSON{{"handle", handle}, {"title", "Aurora"}, {"media", media}}.dump();
}

const std::string imageAddress =
    std::string("https://") + storefrontFileHost + storefrontFileArea + "aurora-ui.png";

TEST(StorefrontScreenshot, AddressesAndTheChoiceOfImage) {
    EXPECT_TRUE(StorefrontScreenshot::productURL("my-plugin-2").has_value());
    EXPECT_EQ(StorefrontScreenshot::productURL("my-plugin-2")->string(),
              std::string(storeProductPagePrefix) + "my-plugin-2.js");
    for (const std::string slug : {"my_plugin", "my.plugin", "my/plugin", "pl\u00fcgin", ""}) {
        EXPECT_EQ(StorefrontScreenshot::productURL(slug), std::nullopt) << slug;
    }
    const std::string host = storefrontFileHost;
    const std::string area = storefrontFileArea;
    EXPECT_TRUE(StorefrontScreenshot::trustedImageURL("//" + host + area + "a.png").has_value());
    for (const std::string& address :
         {"http://" + host + area + "a.png", "https://other.example" + area + "a.png",
          "https://user@" + host + area + "a.png", "https://" + host + ":8443" + area + "a.png",
          "https://" + host + "/s/files/1/9999/0000/1111/a.png",
          "https://" + host + area + "../../../../x.png", std::string("not a url")}) {
        EXPECT_EQ(StorefrontScreenshot::trustedImageURL(address), std::nullopt) << address;
    }

    const JSON media = {
        {{"media_type", "video"}, {"alt", "macOS interface video"}, {"src", imageAddress}},
        {{"media_type", "image"}, {"alt", "MACOS INTERFACE"}, {"src", imageAddress + "?caps"}},
        {{"media_type", "image"}, {"alt", "Aurora macOS interface"}, {"src", imageAddress}},
        {{"media_type", "image"}, {"alt", "Second macOS interface"}, {"src", imageAddress + "?2"}}};
    const auto found = StorefrontScreenshot::parse(productJSON("aurora", media), "aurora");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->alt, "Aurora macOS interface");
    EXPECT_EQ(StorefrontScreenshot::parse(productJSON("aurora", JSON::array()), "aurora"), std::nullopt);
    EXPECT_THROW(StorefrontScreenshot::parse(productJSON("Aurora", media), "aurora"), HalvexError);
    EXPECT_THROW(
        StorefrontScreenshot::parse(
            productJSON("aurora",
                        {{{"media_type", "image"}, {"alt", "macOS interface"}, {"src", "http://x/a.png"}}}),
            "aurora"),
        HalvexError);
    EXPECT_THROW(StorefrontScreenshot::parse("{\"handle\":", "aurora"), DecodingError);
}

class StorefrontStoreTest : public testing::Test {
  protected:
    StorefrontArtworkStore store() {
        return StorefrontArtworkStore(folder / "Storefront", [this](const Url& url) {
            requests.push_back(url.string());
            if (failNext) {
                failNext = false;
                throw NetworkError(NetworkError::Kind::notConnected, 7, "offline");
            }
            return url.string().ends_with(".js") ? productJSON : image;
        });
    }

    test::TemporaryDirectory folder;
    std::vector<std::string> requests;
    bool failNext = false;
    std::string image = test::pngImage(8, 8);
    std::string productJSON =
        JSON{{"handle", "aurora"},
             {"media", {{{"media_type", "image"}, {"alt", "macOS interface"}, {"src", imageAddress}}}}}
            .dump();
};

TEST_F(StorefrontStoreTest, RefreshesOnlyWhatChangedAndKeepsTheLastGoodCopy) {
    auto artworks = store();
    EXPECT_EQ(artworks.cached("aurora"), std::nullopt);
    const auto first = artworks.refresh("aurora");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->data, image);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_EQ(artworks.refresh("aurora"), first);
    EXPECT_EQ(requests.size(), 3u) << "unchanged product JSON: one request, the cached artwork";
    EXPECT_EQ(store().cached("aurora"), first);

    failNext = true;
    EXPECT_EQ(artworks.refresh("aurora"), first);
    productJSON = "{\"handle\":\"aurora\",\"media\":[";
    EXPECT_EQ(artworks.refresh("aurora"), first);
    productJSON = std::string(StorefrontArtworkStore::maximumProductJSONBytes + 1, ' ');
    EXPECT_EQ(artworks.refresh("aurora"), first);
    productJSON =
        JSON{{"handle", "aurora"},
             {"media", {{{"media_type", "image"}, {"alt", "new macOS interface"}, {"src", imageAddress}}}}}
            .dump();
    image = "not an image";
    EXPECT_EQ(artworks.refresh("aurora"), first) << "an undecodable image keeps the old one";
    productJSON = JSON{{"handle", "aurora"}, {"media", JSON::array()}}.dump();
    EXPECT_EQ(artworks.refresh("aurora"), std::nullopt);
    EXPECT_EQ(artworks.cached("aurora"), std::nullopt) << "the storefront said there is none";
    EXPECT_EQ(artworks.refresh("bad_slug"), std::nullopt);
}

TEST_F(StorefrontStoreTest, CacheFilesAreReadUpToFifteenMebibytes) {
    auto artworks = store();
    ASSERT_TRUE(artworks.refresh("aurora").has_value());
    const auto file = folder / "Storefront" / "aurora.json";
    auto text = platform::readFile(file, 1 << 20);
    text.append(StorefrontArtworkStore::maximumCacheFileBytes - text.size(), ' ');
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_TRUE(artworks.cached("aurora").has_value());
    std::ofstream(file, std::ios::binary | std::ios::app) << ' ';
    EXPECT_EQ(artworks.cached("aurora"), std::nullopt);
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

class StorefrontDownloadTest : public test::ServiceFixture {};

TEST_F(StorefrontDownloadTest, AcceptsOnlyAPlain200FromTheAddressAskedFor) {
    const auto url = *Url::parse(service.addFile("hub/shot.png", "image bytes"));
    EXPECT_EQ(StorefrontArtworkStore::download(url), "image bytes");
    for (const int status : {206, 304, 404}) {
        service.injectFault("/files/hub/shot.png", tools::Fault{.status = status, .body = "x"});
        EXPECT_THROW(StorefrontArtworkStore::download(url), HalvexError) << status;
    }
    service.addFile("hub/elsewhere.png", "other bytes");
    service.injectFault("/files/hub/shot.png",
                        tools::Fault{.redirectTo = service.baseURL() + "/files/hub/elsewhere.png"});
    EXPECT_THROW(StorefrontArtworkStore::download(url), HalvexError);
    service.injectFault("/files/hub/shot.png",
                        tools::Fault{.status = 200, .body = std::string(10 * 1024 * 1024 + 1, 'x')});
    EXPECT_THROW(StorefrontArtworkStore::download(url), HalvexError);
}

}  // namespace
}  // namespace halvex

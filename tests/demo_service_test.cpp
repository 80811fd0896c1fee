// The demo service as a person and the demo build meet it: the sign-in page in the browser, https with
// the demo authority, and the data folder the maker makes for it.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "core/install/plugin_installer.h"
#include "core/library/product_discovery.h"
#include "core/service/http_transport.h"
#include "core/service/network_error.h"
#include "platform/file_io.h"
#include "platform/user_folders.h"
#include "tests/support/child_process.h"
#include "tests/support/error_text.h"
#include "tests/support/plugin_fixtures.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/service_fixture.h"
#include "tools/maker/demo_service_data.h"

namespace halvex {
namespace {

HttpResponse browse(const std::string& url, const std::string& form = "") {
    HttpRequest request{form.empty() ? "GET" : "POST", *Url::parse(url), {}, form};
    if (!form.empty()) request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    return HttpTransport::send(request, 1 << 20);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

tools::StandInService::Options quickPolling() {
    tools::StandInService::Options options;
    options.pollIntervalSeconds = 0;
    return options;
}

class SignInPageTest : public test::ServiceFixture {
  protected:
    SignInPageTest() : ServiceFixture(quickPolling()) {}
};

TEST_F(SignInPageTest, ShowsTheCodeAndApprovingSignsTheHubIn) {
    const auto api = client();
    const auto authorization = api.beginAuthorization("Studio <b>Mac</b>");

    const auto page = browse(authorization.verificationURIComplete.string());
    EXPECT_EQ(page.head.status, 200);
    EXPECT_TRUE(contains(page.body, "id=\"user-code\">" + authorization.userCode + "<")) << page.body;
    EXPECT_TRUE(contains(page.body, "Studio &lt;b&gt;Mac&lt;/b&gt;")) << "the device name is escaped";
    EXPECT_TRUE(contains(page.body, "id=\"approve\"") && contains(page.body, "id=\"deny\""));

    std::string typed = authorization.userCode;
    std::transform(typed.begin(), typed.end(), typed.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const auto result = browse(service.baseURL() + "/device", "user_code=" + typed + "&decision=approve");
    EXPECT_EQ(result.head.status, 200);
    EXPECT_TRUE(contains(result.body, "HALVEX HUB is signed in")) << result.body;
    EXPECT_FALSE(api.waitForAuthorization(authorization).accessToken.empty());
    EXPECT_EQ(browse(authorization.verificationURIComplete.string()).head.status, 404)
        << "a used code is no longer offered";
}

TEST_F(SignInPageTest, DenyingEndsTheWaitWithTheServiceMessage) {
    const auto api = client();
    const auto authorization = api.beginAuthorization("Studio Mac");
    const auto denied =
        browse(service.baseURL() + "/device", "user_code=" + authorization.userCode + "&decision=deny");
    EXPECT_EQ(denied.head.status, 200);
    EXPECT_TRUE(contains(denied.body, "Sign-in denied"));
    const auto late =
        browse(service.baseURL() + "/device", "user_code=" + authorization.userCode + "&decision=approve");
    EXPECT_EQ(late.head.status, 400) << "a denied sign-in cannot be approved afterwards";

    EXPECT_EQ(test::errorText([&] { api.waitForAuthorization(authorization); }),
              "The sign-in was denied in the browser.");
    EXPECT_FALSE(keychain.read(APIClient::credentialAccount));
}

TEST_F(SignInPageTest, AnUnknownCodeAsksForTheCodeAgain) {
    const auto unknown = browse(service.baseURL() + "/device?user_code=ZZZZ-ZZZZ");
    EXPECT_EQ(unknown.head.status, 404);
    EXPECT_TRUE(contains(unknown.body, "ZZZZ-ZZZZ is unknown or has expired"));
    EXPECT_TRUE(contains(unknown.body, "name=\"user_code\""));
    EXPECT_TRUE(contains(browse(service.baseURL() + "/device").body, "Enter the activation code"));
    EXPECT_EQ(browse(service.baseURL() + "/device", "user_code=ZZZZ-ZZZZ&decision=approve").head.status, 400);
}

TEST(DemoServiceHttps, ServesTheDemoAuthoritysCertificateWhichANormalBuildRefuses) {
    test::TemporaryDirectory folder;
    maker::writeServerTrust(maker::makeLoopbackServerTrust(), folder / "tls");
    tools::StandInService::Options options;
    options.tls =
        tools::TlsIdentity{folder / "tls" / "tls-server.pem", folder / "tls" / "tls-server-key.pem"};
    tools::StandInService service(options);
    const auto url = service.addFile("media/icon.png", "icon bytes");
    EXPECT_TRUE(url.starts_with("https://127.0.0.1:"));

    const auto trusted = test::runProcess(
        {"curl", "-sS", "--fail", "--cacert", (folder / "tls" / "tls-authority.pem").string(), url});
    EXPECT_EQ(trusted.exitStatus, 0) << trusted.standardError;
    EXPECT_EQ(trusted.standardOutput, "icon bytes");
    EXPECT_THROW(HttpTransport::send(HttpRequest{"GET", *Url::parse(url)}, 1 << 20), NetworkError);
}

TEST(DemoRoot, ANormalBuildIgnoresIt) {
    const auto home = platform::homeDirectory();
    const auto data = platform::userDataDirectory();
    const test::ScopedEnvironment root{{{"HVX_DEMO_ROOT", "/tmp/halvex-demo-root-that-must-not-be-used"}}};
    const auto demoRoot = platform::demoRoot();
    const auto homeWithRoot = platform::homeDirectory();
    const auto dataWithRoot = platform::userDataDirectory();
    EXPECT_FALSE(demoRoot);
    EXPECT_EQ(homeWithRoot, home);
    EXPECT_EQ(dataWithRoot, data);
}

// One data folder for the suite: making it signs and zips sixteen releases and a hub.
class DemoServiceDataTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test::TemporaryDirectory();
        const auto hub = *folder_ / "built" / "HALVEX HUB.app" / "Contents";
        std::filesystem::create_directories(hub / "MacOS");
        platform::writeFileAtomically(
            hub / "Info.plist",
            platform::xmlPropertyList(platform::PropertyValue(
                platform::PropertyValue::Dictionary{{"CFBundleIdentifier", std::string("com.halvex.hub")},
                                                    {"CFBundleShortVersionString", std::string("1.1.0")},
                                                    {"CFBundleExecutable", std::string("HalvexHub")}})),
            0644);
        platform::writeFileAtomically(hub / "MacOS" / "HalvexHub", "hub", 0755);
        maker::writeDemoServiceData(test::trust(),
                                    {.out = *folder_ / "data", .hubBundle = hub.parent_path()});
    }
    static void TearDownTestSuite() { delete folder_; }

    DemoServiceDataTest()
        : service({.dataFolder = *folder_ / "data"}),
          keychain("com.halvex.hub", platform::makeFileCredentialStore(work / "Keychain")),
          api(test::trustingConfiguration(service.baseURL()), keychain) {
        keychain.write(service.issueToken(), APIClient::credentialAccount);
    }

    const Product& product(const Catalog& catalog, const std::string& slug) {
        const auto found = std::find_if(catalog.products.begin(), catalog.products.end(),
                                        [&](const Product& p) { return p.slug == slug; });
        if (found == catalog.products.end()) throw std::runtime_error("no product " + slug);
        return *found;
    }

    static test::TemporaryDirectory* folder_;
    test::TemporaryDirectory work;
    tools::StandInService service;
    KeychainStore keychain;
    APIClient api;
};

test::TemporaryDirectory* DemoServiceDataTest::folder_ = nullptr;

TEST_F(DemoServiceDataTest, TheCatalogueHasEveryKindOfProductTheLibraryShows) {
    const auto catalog = api.catalog();
    ASSERT_EQ(catalog.products.size(), 12u);
    for (const auto& product : catalog.products) {
        EXPECT_NE(ProductDiscovery::bundled(product.slug).category, "Plugin")
            << product.slug << " has built-in discovery texts";
    }
    EXPECT_TRUE(catalog.subscription && catalog.subscriptionOffer);
    EXPECT_EQ(
        std::count_if(catalog.products.begin(), catalog.products.end(), [](auto& p) { return !p.owned; }), 3);

    const auto& aurora = product(catalog, "aurora-delay");
    EXPECT_EQ(catalog.installableRelease(aurora)->version, "1.2.0");
    EXPECT_EQ(catalog.updateRelease(aurora, "1.2.0", std::nullopt)->version, "1.3.0");
    const auto& cinder = product(catalog, "cinder-drive");
    EXPECT_EQ(catalog.installableRelease(cinder)->version, "1.4.0");
    ASSERT_TRUE(catalog.testRelease(cinder));
    EXPECT_TRUE(api.releaseArtwork(*catalog.testRelease(cinder))) << "the test build has artwork";
    EXPECT_EQ(product(catalog, "iris-filter").visibility, "private");

    const auto icon = browse(service.baseURL() + "/files/media/icons/aurora-delay.png");
    EXPECT_EQ(icon.head.status, 200) << "icons need no credential";
}

TEST_F(DemoServiceDataTest, ReleasesInEachFormatMixInstallAndTheHubReleaseVerifies) {
    const auto catalog = api.catalog();
    const auto verifier = test::trustingVerifier();
    for (const std::string slug : {"aurora-delay", "basalt-compressor", "iris-filter", "juniper-keys"}) {
        SCOPED_TRACE(slug);
        auto folders = PluginInstaller::Folders::standard(work / "Support", work / "Plugins" / "VST3");
        PluginInstaller installer(test::trustingConfiguration(service.baseURL()), folders);
        installer.setAudioApplications([] { return std::vector<std::string>{}; });
        const auto release = catalog.installableRelease(product(catalog, slug));
        ASSERT_TRUE(release);
        EXPECT_EQ(installer.downloadAndInstall(*release, api, verifier, false, false),
                  PluginInstaller::InstallResult::installed());
        EXPECT_TRUE(installer.isComplete(*release));
    }

    const auto hub = api.latestHubRelease();
    EXPECT_EQ(hub.version, "1.2.0");
    EXPECT_NO_THROW(verifier.verifyReleaseManifest(hub.manifest));
    auto text = platform::readFile(*folder_ / "data" / "extras" / "aurora-delay-1.4.0.json", 1 << 20);
    text.replace(text.find("{{BASE_URL}}"), 12, service.baseURL());
    const auto extra = json::decodeRecord<Release>(text);
    EXPECT_EQ(browse(extra.downloadURL.string()).head.status, 401) << "served, behind the credential";
}

}  // namespace
}  // namespace halvex

// Runs the window's QML tests (Qt Quick Test) against a model that shows fixture snapshots. The tests
// change the shown state through `fixture`, and see through it what the stand-in service was asked.

#include <QJSValue>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtQuickTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "halvex/trust_constants.h"
#include "tests/support/images.h"
#include "tools/stand_in_service/stand_in_service.h"
#include "ui/catalog_artwork.h"
#include "ui/fixtures/window_fixtures.h"
#include "ui/library_presenter.h"
#include "ui/window_services.h"
#include "ui/window_setup.h"

namespace {

using halvex::app::HubModel;
using halvex::app::Phase;
namespace fixtures = halvex::ui::fixtures;

// Shows named fixture states with a few changes, as the tests ask.
class FixtureDriver : public QObject {
    Q_OBJECT
    // An image on the stand-in service that nothing in the window may ever fetch.
    Q_PROPERTY(QString trapAddress READ trapAddress CONSTANT)
    // How long each storefront request takes, in milliseconds.
    Q_PROPERTY(int storefrontDelay READ storefrontDelay WRITE setStorefrontDelay)

  public:
    FixtureDriver(HubModel* model, halvex::ui::LibraryPresenter* library)
        : model_(model), library_(library), service_(halvex::tools::StandInService::Options{}) {
        service_.addFile("media/trap.png", fixtures::testArtworkPNG().toStdString());
        // Every product's storefront page names one interface screenshot, answered from memory.
        halvex::ui::WindowServices::current().storefront = std::make_shared<halvex::StorefrontArtworkStore>(
            storefrontCache_.path().toStdString(), [this](const halvex::Url& url) {
                std::this_thread::sleep_for(std::chrono::milliseconds(storefrontDelay_.load()));
                ++storefrontRequests_;
                const auto path = url.path();
                if (!path.ends_with(".js")) return fixtures::testArtworkPNG().toStdString();
                const auto slug = path.substr(path.rfind('/') + 1, path.size() - path.rfind('/') - 4);
                return nlohmann::json{{"handle", slug},
                                      {"media",
                                       {{{"media_type", "image"},
                                         {"alt", "macOS interface"},
                                         {"src", std::string("https://") + halvex::storefrontFileHost +
                                                     halvex::storefrontFileArea + slug + ".png"}}}}}
                    .dump();
            });
        // Icons load over https only: a build with demo keys serves them as the demo service does.
        const std::filesystem::path keys = halvex::build::demoKeysFolder;
        if (keys.empty()) return;
        halvex::tools::StandInService::Options options;
        options.tls = halvex::tools::TlsIdentity{keys / "tls-server.pem", keys / "tls-server-key.pem"};
        secureService_.emplace(std::move(options));
        auto configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(QString::fromStdString((keys / "tls-authority.pem").string()));
        QSslConfiguration::setDefaultConfiguration(configuration);
    }

    // Serves a PNG of that size over https; its address, or an empty one when the build has no demo keys.
    Q_INVOKABLE QString secureImage(const QString& name, int width, int height) {
        if (!secureService_) return {};
        return QString::fromStdString(secureService_->addFile(
            "media/" + name.toStdString(),
            halvex::test::pngImage(static_cast<unsigned>(width), static_cast<unsigned>(height))));
    }
    Q_INVOKABLE QSize cachedIcon(const QString& url) const {
        return halvex::ui::CatalogArtwork::shared().cached(QUrl(url)).size();
    }
    // The model's answer to a test artwork request, with a PNG of that size.
    Q_INVOKABLE void deliverTestArtwork(const QString& releaseID, int width, int height) {
        emit model_->testArtworkLoaded(
            releaseID, QByteArray::fromStdString(halvex::test::pngImage(static_cast<unsigned>(width),
                                                                        static_cast<unsigned>(height))));
    }

    QString trapAddress() const { return QString::fromStdString(service_.baseURL() + trapPath); }
    Q_INVOKABLE int trapRequests() const { return static_cast<int>(service_.requestsTo(trapPath).size()); }
    Q_INVOKABLE int storefrontRequests() const { return storefrontRequests_; }
    int storefrontDelay() const { return storefrontDelay_; }
    void setStorefrontDelay(int milliseconds) { storefrontDelay_ = milliseconds; }

    // `base`: "library", or a phase name without a catalogue ("loading", "signedOut", "authorizing",
    // "blocked"). `changes`: "payload", "refreshingCatalog", "checkingHubUpdate", "updatingAll",
    // "updatingProduct", "signingIn", "nothingInstalled", "withoutProduct", "productName", "errorMessage",
    // "checkingInstallations", "blocked" (the library's phase, with this message), "heldVersions" and
    // "revertVersions" (maps of product identifier to version), and "serviceText": a
    // text put into every name, description and message the service or the agent could have sent.
    Q_INVOKABLE void show(const QString& base, const QVariantMap& changes = {}) {
        const auto payload = changes.value(QStringLiteral("payload")).toString().toStdString();
        HubModel::Snapshot snapshot;
        if (base == QLatin1String("library")) {
            snapshot = fixtures::library();
        } else if (base == QLatin1String("loading")) {
            snapshot = fixtures::welcome(Phase::loading());
        } else if (base == QLatin1String("authorizing")) {
            snapshot = fixtures::welcome(Phase::authorizing(payload));
        } else if (base == QLatin1String("blocked")) {
            snapshot = fixtures::welcome(Phase::blocked(payload));
        } else {
            snapshot = fixtures::welcome(Phase::signedOut());
        }
        snapshot.refreshingCatalog = changes.value(QStringLiteral("refreshingCatalog")).toBool();
        snapshot.checkingHubUpdate = changes.value(QStringLiteral("checkingHubUpdate")).toBool();
        snapshot.updatingAll = changes.value(QStringLiteral("updatingAll")).toBool();
        snapshot.signingIn = changes.value(QStringLiteral("signingIn")).toBool();
        snapshot.checkingInstallations = changes.value(QStringLiteral("checkingInstallations")).toBool();
        if (snapshot.catalog && changes.contains(QStringLiteral("blocked")))
            snapshot.phase =
                Phase::blocked(changes.value(QStringLiteral("blocked")).toString().toStdString());
        if (changes.contains(QStringLiteral("errorMessage")))
            snapshot.errorMessage = changes.value(QStringLiteral("errorMessage")).toString().toStdString();
        if (changes.contains(QStringLiteral("updatingProduct"))) {
            snapshot.phase =
                Phase::updating(changes.value(QStringLiteral("updatingProduct")).toString().toStdString());
        }
        const auto versions = [&](const char* key) {
            std::map<std::string, std::string> map;
            auto value = changes.value(QLatin1String(key));
            // A nested JavaScript object arrives as a QJSValue.
            if (value.userType() == qMetaTypeId<QJSValue>()) value = value.value<QJSValue>().toVariant();
            const auto values = value.toMap();
            for (auto it = values.begin(); it != values.end(); ++it)
                map[it.key().toStdString()] = it.value().toString().toStdString();
            return map;
        };
        for (const auto& [productID, version] : versions("heldVersions"))
            snapshot.products[productID].heldVersion = version;
        for (const auto& [productID, version] : versions("revertVersions"))
            snapshot.products[productID].revertVersion = version;
        if (changes.value(QStringLiteral("nothingInstalled")).toBool()) snapshot.products.clear();
        if (snapshot.catalog && changes.contains(QStringLiteral("withoutProduct"))) {
            const auto gone = changes.value(QStringLiteral("withoutProduct")).toString().toStdString();
            std::erase_if(snapshot.catalog->products,
                          [&](const auto& product) { return product.productID == gone; });
        }
        if (snapshot.catalog && changes.contains(QStringLiteral("productName"))) {
            snapshot.catalog->products.front().name =
                changes.value(QStringLiteral("productName")).toString().toStdString();
        }
        if (changes.contains(QStringLiteral("serviceText")))
            fillWith(changes.value(QStringLiteral("serviceText")).toString().toStdString(), snapshot);
        model_->restore(snapshot);
    }

    Q_INVOKABLE void reset() {
        library_->setScope(QStringLiteral("all"));
        library_->setQuery({});
        show(QStringLiteral("library"));
    }

  private:
    static constexpr const char* trapPath = "/files/media/trap.png";

    static void fillWith(const std::string& text, HubModel::Snapshot& snapshot) {
        if (snapshot.catalog) {
            for (auto& product : snapshot.catalog->products) {
                product.name = text + " " + product.name;
                product.discovery = halvex::ProductDiscovery{text, text, text, {text, text}, text, "#4FD1C5"};
            }
            for (auto& release : snapshot.catalog->releases) release.name = text + " " + release.name;
            if (snapshot.catalog->subscription) snapshot.catalog->subscription->name = text;
            if (snapshot.catalog->subscriptionOffer) snapshot.catalog->subscriptionOffer->name = text;
        }
        snapshot.errorMessage = text;
        snapshot.noticeMessage = text;
        snapshot.backgroundStatus = halvex::app::BackgroundAgentStatus{0, text, text};
        snapshot.backgroundServiceState = halvex::app::BackgroundServiceController::State::unavailable(text);
        snapshot.hubRelease =
            halvex::HubRelease{.releaseID = "hub",
                               .version = text,
                               .downloadURL = *halvex::Url::parse("https://cdn.example/hub.zip")};
        snapshot.hubUpdateMessage = text;
    }

    HubModel* model_;
    halvex::ui::LibraryPresenter* library_;
    halvex::tools::StandInService service_;
    std::optional<halvex::tools::StandInService> secureService_;
    QTemporaryDir storefrontCache_;
    std::atomic<int> storefrontDelay_ = 0;
    std::atomic<int> storefrontRequests_ = 0;
};

class Setup : public QObject {
    Q_OBJECT

  public slots:
    void qmlEngineAvailable(QQmlEngine* engine) {
        halvex::ui::prepareApplication();
        model_ = std::make_unique<HubModel>(fixtures::library());
        halvex::ui::WindowServices::current().hub = model_.get();
        library_ = std::make_unique<halvex::ui::LibraryPresenter>(model_.get());
        driver_ = std::make_unique<FixtureDriver>(model_.get(), library_.get());
        halvex::ui::prepareEngine(*engine, model_.get(), library_.get());
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), driver_.get());
    }

  private:
    std::unique_ptr<HubModel> model_;
    std::unique_ptr<halvex::ui::LibraryPresenter> library_;
    std::unique_ptr<FixtureDriver> driver_;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(halvex_window, Setup)

#include "qml_test_main.moc"

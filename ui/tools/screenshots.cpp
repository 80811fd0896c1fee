// Renders every screen state of the window from fixtures, offscreen, to PNG files in the folder given as
// the only argument (created when missing). Prints each file it writes.

#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>
#include <functional>
#include <iostream>

#include "core/foundation/halvex_error.h"
#include "ui/fixtures/window_fixtures.h"
#include "ui/library_presenter.h"
#include "ui/window_services.h"
#include "ui/window_setup.h"

namespace {

using halvex::HubRelease;
using halvex::Url;
using halvex::app::BackgroundServiceController;
using halvex::app::HubModel;
using halvex::app::Phase;
namespace fixtures = halvex::ui::fixtures;

struct Screen {
    const char* name;
    HubModel::Snapshot snapshot;
    const char* scope = "all";
    const char* query = "";
    const char* selected = "";
    const char* popover = "";
    bool testArtwork = false;
};

void settle(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

std::vector<Screen> screens() {
    const auto library = fixtures::library();
    const auto with = [&](const std::function<void(HubModel::Snapshot&)>& change) {
        auto snapshot = library;
        change(snapshot);
        return snapshot;
    };
    auto signingIn = fixtures::welcome(Phase::signedOut());
    signingIn.signingIn = true;
    auto signInFailed = fixtures::welcome(Phase::signedOut());
    signInFailed.errorMessage = halvex::HalvexError::unsafeSignInAddress().errorDescription();
    std::vector<Screen> result = {
        {"welcome-loading", fixtures::welcome(Phase::loading())},
        {"welcome-sign-in", fixtures::welcome(Phase::signedOut())},
        {"welcome-opening-sign-in", signingIn},
        {"welcome-authorizing", fixtures::welcome(Phase::authorizing("HVX-7Q4K"))},
        {"welcome-blocked", fixtures::welcome(Phase::blocked(
                                "Your plugin library could not load. Use Try Again to reconnect."))},
        {"library-all", library},
        {"library-my-access", library, "access"},
        {"library-purchased", library, "purchased"},
        {"library-installed", library, "installed"},
        {"library-discover", library, "discover"},
        {"library-search", library, "all", "reverb"},
        {"library-search-no-match", library, "all", "theremin"},
        {"library-installed-empty", with([](auto& s) { s.products.clear(); }), "installed"},
        {"library-catalog-unavailable", with([](auto& s) { s.catalog->products.clear(); })},
        {"library-checking-plugins", with([](auto& s) {
             s.phase = Phase::loading();
             s.checkingInstallations = true;
             s.products.clear();
         })},
        {"library-notices", with([](auto& s) {
             s.errorMessage =
                 "Glacier EQ: The download was interrupted. Check your connection and try again.";
             s.noticeMessage =
                 "Fjord Reverb 2.0.1 is downloaded and verified. Restart Ardour and Bitwig Studio to "
                 "finish the update and use the latest version.";
         })},
        {"library-background-approval", with([](auto& s) {
             s.backgroundServiceState = BackgroundServiceController::State::requiresApproval();
         })},
        {"library-background-unavailable", with([](auto& s) {
             s.backgroundServiceState = BackgroundServiceController::State::unavailable(
                 BackgroundServiceController::notRegisteredMessage);
         })},
        {"library-hub-update", with([](auto& s) {
             s.hubRelease =
                 HubRelease{.releaseID = "hub_1.2.0",
                            .version = "1.2.0",
                            .downloadURL = *Url::parse("https://cdn.halvexaudio.com/hub/1.2.0.zip")};
             s.hubUpdateMessage = "Downloading and verifying HUB 1.2.0\u2026";
             s.installingHubUpdate = true;
         })},
        {"library-hub-check-failed", with([](auto& s) {
             s.hubUpdateMessage = "Couldn\u2019t check HUB updates. Use Refresh to retry.";
         })},
        {"library-installing", with([](auto& s) {
             s.phase = Phase::updating("prod_glacier-eq");
             HubModel::InstallActivity activity;
             activity.progress.bytesDone = 21'400'000;
             activity.progress.bytesTotal = 48'000'000;
             activity.bytesPerSecond = 6'200'000;
             s.installProgress = {{"prod_glacier-eq", activity}};
         })},
        {"library-updating-all", with([](auto& s) { s.updatingAll = true; })},
        {"library-refreshing", with([](auto& s) { s.refreshingCatalog = true; })},
        {"library-update-status", with([](auto& s) {
             s.backgroundStatus->error =
                 "The HALVEX service could not be reached. The next try is in 10 minutes.";
         }),
         "all", "", "", "updateStatusPopover"},
        {"library-access-details", with([](auto& s) { s.catalog->subscription->status = "payment_grace"; }),
         "all", "", "", "accessDetails"},
        {"library-subscription-offer", with([](auto& s) { s.catalog->subscription.reset(); })},
        {"overview-public", library, "all", "", "prod_cinder-drive"},
        {"overview-private-beta", library, "all", "", "prod_iris-filter"},
        {"overview-test-build", library, "all", "", "prod_drift-chorus", "", true},
        {"overview-no-longer-in-catalog", library, "all", "", "prod_retired"},
        {"welcome-sign-in-failed", signInFailed},
    };
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: halvex-screenshots OUTPUT_FOLDER\n";
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    halvex::ui::prepareApplication();
    const QDir output(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(output.path());

    HubModel model(fixtures::library());
    auto& services = halvex::ui::WindowServices::current();
    services.hub = &model;
    // The tool runs beside the bundle, not inside it: read the images the build rendered into it.
    services.interfaceImages = QStringLiteral(HALVEX_INTERFACE_IMAGES);
    fixtures::preloadIcons(fixtures::catalog());
    halvex::ui::LibraryPresenter library(&model);
    library.setHostRecommendation(
        QStringLiteral("Bitwig Studio is installed: it loads the CLAP version of this plugin."));

    QQmlApplicationEngine engine;
    halvex::ui::prepareEngine(engine, &model, &library);
    engine.load(QUrl(QStringLiteral("qrc:/HalvexHub/Main.qml")));
    if (engine.rootObjects().isEmpty()) return 1;
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    window->resize(1120, 760);

    int number = 1;
    for (const auto& screen : screens()) {
        window->setProperty("selectedProductId", QString());
        model.restore(screen.snapshot);
        library.setScope(QString::fromUtf8(screen.scope));
        library.setQuery(QString::fromUtf8(screen.query));
        settle(50);
        window->setProperty("selectedProductId", QString::fromUtf8(screen.selected));
        if (*screen.popover != '\0') {
            if (auto* popover = window->findChild<QObject*>(QString::fromUtf8(screen.popover))) {
                QMetaObject::invokeMethod(popover, "open");
            }
        }
        settle(250);
        if (screen.testArtwork) {
            for (const auto& release : screen.snapshot.catalog->releases) {
                if (release.productID == screen.selected && release.channel == "beta") {
                    emit model.testArtworkLoaded(QString::fromStdString(release.releaseID),
                                                 fixtures::testArtworkPNG());
                }
            }
        }
        settle(400);
        const auto file = output.filePath(QStringLiteral("%1-%2.png")
                                              .arg(number++, 2, 10, QLatin1Char('0'))
                                              .arg(QString::fromUtf8(screen.name)));
        if (!window->grabWindow().save(file)) {
            std::cerr << "cannot write " << file.toStdString() << "\n";
            return 1;
        }
        if (*screen.popover != '\0') {
            if (auto* popover = window->findChild<QObject*>(QString::fromUtf8(screen.popover))) {
                QMetaObject::invokeMethod(popover, "close");
            }
        }
        std::cout << file.toStdString() << "\n";
    }
    return 0;
}

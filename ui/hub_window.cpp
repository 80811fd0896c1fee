#include "ui/hub_window.h"

#include <QFutureWatcher>
#include <QGuiApplication>
#include <QIcon>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtConcurrent/QtConcurrentRun>
#include <iostream>

#include "app/single_window_guard.h"
#include "core/foundation/halvex_configuration.h"
#include "core/foundation/halvex_error.h"
#include "core/library/plugin_format_support.h"
#include "halvex/build_constants.h"
#include "halvex/demo_build.h"
#include "platform/process_environment.h"
#include "platform/running_bundle.h"
#include "ui/library_presenter.h"
#include "ui/refresh_driver.h"
#include "ui/window_services.h"
#include "ui/window_setup.h"

#ifdef HALVEX_DEMO_BUILD
#include <QSslConfiguration>

#include "halvex/trust_constants.h"
#endif

namespace halvex::ui {

namespace {

// One line on standard output naming the service the window talks to, or why it cannot.
void reportConfiguration() {
    try {
        const auto configuration =
            HalvexConfiguration::bundled(Bundle::main(), platform::currentEnvironment());
        std::cout << "HALVEX HUB " << build::hubVersion << " (service " << configuration.apiBaseURL.string()
                  << ")" << std::endl;
    } catch (const HalvexError& error) {
        std::cout << "HALVEX HUB " << build::hubVersion << ": " << error.errorDescription() << std::endl;
    }
}

// The demo hub loads artwork from the demo service, whose authority only the demo build trusts.
void trustDemoAuthority() {
#ifdef HALVEX_DEMO_BUILD
    auto configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QSslCertificate::fromData(build::demoServiceAuthorityPEM));
    QSslConfiguration::setDefaultConfiguration(configuration);
#endif
}

// Qt aborts when it cannot reach a display; say so in words instead.
bool hasDisplay(const platform::Environment& environment) {
    const auto set = [&](const char* name) {
        const auto found = environment.find(name);
        return found != environment.end() && !found->second.empty();
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// The icon the desktop entry names, from this bundle, so docks and switchers show the same one.
QIcon applicationIcon() {
    QIcon icon;
    const auto bundle = platform::runningBundlePath();
    if (!bundle) return icon;
    const auto theme = *bundle / "Contents" / "Resources" / "icons" / "hicolor";
    for (const int size : {16, 22, 24, 32, 48, 64, 96, 128, 256, 512}) {
        const auto side = std::to_string(size);
        icon.addFile(
            QString::fromStdString((theme / (side + "x" + side) / "apps" / "com.halvex.hub.png").string()));
    }
    return icon;
}

// Brings the window forward at another start's request (on the main thread).
void raise(QQuickWindow* window, const std::string& activationToken) {
    if (window == nullptr) return;
    if (!activationToken.empty()) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
    if (window->visibility() == QWindow::Minimized) window->showNormal();
    window->show();
    window->raise();
    window->requestActivate();
}

std::string startupActivationToken(const platform::Environment& environment) {
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
        if (const auto found = environment.find(name); found != environment.end()) return found->second;
    }
    return {};
}

}  // namespace

int runHubWindow(int& argc, char** argv) {
    reportConfiguration();
    if (!hasDisplay(platform::currentEnvironment())) {
        std::cerr << "HALVEX HUB needs a desktop session to open its window." << std::endl;
        return 1;
    }
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("com.halvex.hub"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("HALVEX HUB"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.halvex.hub"));
    QGuiApplication::setWindowIcon(applicationIcon());
    prepareApplication();
    trustDemoAuthority();

    // One window per user: a second start raises the first and ends. Without a runtime folder (or when it
    // cannot be made private) the window opens unguarded rather than not at all.
    QPointer<QQuickWindow> window;
    std::unique_ptr<app::SingleWindowGuard> guard;
    if (const auto folder = app::SingleWindowGuard::standardFolder()) {
        try {
            auto claim = app::SingleWindowGuard::claim(
                *folder,
                [&application, &window](const std::string& token) {
                    QMetaObject::invokeMethod(
                        &application, [&window, token] { raise(window, token); }, Qt::QueuedConnection);
                },
                startupActivationToken(platform::currentEnvironment()));
            if (!claim.guard) {
                if (claim.other == app::SingleWindowGuard::Claim::Other::raised) return 0;
                std::cerr << "HALVEX HUB is already open but does not respond. Quit it and start it again."
                          << std::endl;
                return 1;
            }
            guard = std::move(claim.guard);
        } catch (const std::system_error& error) {
            std::cerr << "HALVEX HUB could not check for an open window: " << error.what() << std::endl;
        }
    }

    app::HubModel model;
    auto& services = WindowServices::current();
    services.hub = &model;
    services.storefront = std::make_shared<StorefrontArtworkStore>();
    services.interfaceImages = interfaceImagesFolder();

    LibraryPresenter library(&model);
    // Looking for installed hosts reads folders: off the main thread, once.
    QFutureWatcher<QString> hostHint;
    QObject::connect(&hostHint, &QFutureWatcher<QString>::finished, &library,
                     [&] { library.setHostRecommendation(hostHint.result()); });
    hostHint.setFuture(QtConcurrent::run([] {
        const auto hint = PluginFormatSupport::installedHostRecommendation();
        return hint ? QString::fromStdString(*hint) : QString();
    }));

    RefreshDriver refresh(&model);
    QQmlApplicationEngine engine;
    prepareEngine(engine, &model, &library);
    engine.load(QUrl(QStringLiteral("qrc:/HalvexHub/Main.qml")));
    if (engine.rootObjects().isEmpty()) return 1;

    // The model starts once the window is on screen; the periodic work begins with it.
    window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    bool started = false;
    const auto startOnce = [&] {
        if (started || window == nullptr || !window->isExposed()) return;
        started = true;
        model.start();
        refresh.begin();
    };
    if (window != nullptr) QObject::connect(window, &QQuickWindow::frameSwapped, &model, startOnce);
    const int status = QGuiApplication::exec();
    hostHint.waitForFinished();
    services.hub = nullptr;
    return status;
}

}  // namespace halvex::ui

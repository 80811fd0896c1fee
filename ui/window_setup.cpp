#include "ui/window_setup.h"

#include <QtQml/qqmlextensionplugin.h>

#include <QFont>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQuickStyle>

#include "platform/running_bundle.h"
#include "ui/artwork_image_provider.h"

// The window's QML module is linked statically into every program that shows it.
Q_IMPORT_QML_PLUGIN(HalvexHubPlugin)

namespace halvex::ui {

void prepareApplication() {
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QFont font(QStringLiteral("Inter"));
    font.setPixelSize(13);
    QGuiApplication::setFont(font);
}

void prepareEngine(QQmlEngine& engine, app::HubModel* hub, LibraryPresenter* library) {
    engine.addImageProvider(QStringLiteral("artwork"), new ArtworkImageProvider());
    engine.rootContext()->setContextProperty(QStringLiteral("hub"), hub);
    engine.rootContext()->setContextProperty(QStringLiteral("library"), library);
}

QString interfaceImagesFolder() {
    const auto bundle = platform::runningBundlePath();
    if (!bundle) return {};
    return QString::fromStdString((*bundle / "Contents" / "Resources" / "ProductImages").string());
}

}  // namespace halvex::ui

// Renders the built-in interface image of every product in the built-in discovery table, offscreen, into
// the folder given as the only argument, as "<slug>-interface.png". Run by the build.

#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QQuickItem>
#include <QQuickView>
#include <QTimer>
#include <iostream>
#include <string>

#include "app/presentation/product_accent.h"
#include "core/library/product_discovery.h"

namespace {

// "aurora-delay" → "Aurora Delay".
QString displayName(std::string_view slug) {
    QString name;
    bool upper = true;
    for (const char c : slug) {
        if (c == '-') {
            name += QLatin1Char(' ');
            upper = true;
        } else {
            name += upper ? QChar(c).toUpper() : QChar(c);
            upper = false;
        }
    }
    return name;
}

void waitForFrames(QQuickView& view) {
    // Canvases paint after the first frame; two swapped frames and a short settle leave them drawn.
    QEventLoop loop;
    int frames = 0;
    const auto connection = QObject::connect(&view, &QQuickWindow::frameSwapped, &loop, [&] {
        if (++frames >= 2) loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    view.update();
    loop.exec();
    QObject::disconnect(connection);
    QEventLoop settle;
    QTimer::singleShot(150, &settle, &QEventLoop::quit);
    settle.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: halvex-interface-images OUTPUT_FOLDER\n";
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication application(argc, argv);
    const QDir output(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(output.path())) {
        std::cerr << "cannot create " << argv[1] << "\n";
        return 1;
    }
    int seed = 1;
    for (const auto slug : halvex::ProductDiscovery::bundledSlugs()) {
        QQuickView view;
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.setInitialProperties({
            {QStringLiteral("productName"), displayName(slug)},
            {QStringLiteral("category"),
             QString::fromStdString(halvex::ProductDiscovery::bundled(slug).category)},
            {QStringLiteral("accent"), QColor::fromRgb(static_cast<QRgb>(halvex::app::accentRGB(slug)))},
            {QStringLiteral("seed"), seed++},
        });
        view.setSource(QUrl(QStringLiteral("qrc:/interface/InterfaceScene.qml")));
        if (view.status() != QQuickView::Ready) {
            std::cerr << "the interface scene did not load\n";
            return 1;
        }
        view.resize(1200, 600);
        view.show();
        waitForFrames(view);
        const auto file = output.filePath(QString::fromUtf8(slug.data(), static_cast<int>(slug.size())) +
                                          QStringLiteral("-interface.png"));
        if (!view.grabWindow().save(file)) {
            std::cerr << "cannot write " << file.toStdString() << "\n";
            return 1;
        }
    }
    return 0;
}

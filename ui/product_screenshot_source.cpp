#include "ui/product_screenshot_source.h"

#include <QGuiApplication>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include "ui/artwork_image_provider.h"
#include "ui/catalog_artwork.h"
#include "ui/window_services.h"

namespace halvex::ui {

namespace {

struct DecodedArtwork {
    std::optional<StorefrontArtworkStore::Artwork> artwork;
    QImage image;
};

DecodedArtwork decoded(std::optional<StorefrontArtworkStore::Artwork> artwork) {
    DecodedArtwork result{std::move(artwork), {}};
    if (result.artwork) {
        result.image = decodeImageToFit(QByteArray::fromStdString(result.artwork->data),
                                        ProductScreenshotSource::largestPixelSize);
    }
    return result;
}

// Published image keys change with every new image so that QML never shows a stale cached pixmap.
int nextSerial() {
    static int serial = 0;
    return ++serial;
}

}  // namespace

ProductScreenshotSource::ProductScreenshotSource(QObject* parent) : QObject(parent) {
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(application, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive) refresh();
                });
    }
    if (const auto& hub = WindowServices::current().hub) {
        connect(hub, &app::HubModel::testArtworkLoaded, this,
                [this](const QString& releaseID, const QByteArray& data) {
                    if (releaseID != testReleaseID_ || data.isEmpty()) return;
                    auto* watcher = new QFutureWatcher<QImage>(this);
                    const int generation = generation_;
                    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, generation] {
                        watcher->deleteLater();
                        const auto image = watcher->result();
                        if (generation != generation_ || image.isNull()) return;
                        publish(QStringLiteral("test"), image);
                        hasTest_ = true;
                        emit sourceChanged();
                    });
                    watcher->setFuture(QtConcurrent::run(decodeImageToFit, data, largestPixelSize));
                });
    }
}

ProductScreenshotSource::~ProductScreenshotSource() {
    for (const auto& published : published_) ArtworkImageProvider::publish(published, {});
}

void ProductScreenshotSource::publish(const QString& kind, const QImage& image) {
    ArtworkImageProvider::publish(published_.value(kind), {});
    imageSerial_ = QString::number(nextSerial());
    published_.insert(kind, key(kind));
    ArtworkImageProvider::publish(key(kind), image);
}

void ProductScreenshotSource::setSlug(const QString& value) {
    if (value == slug_) return;
    slug_ = value;
    emit inputsChanged();
    if (complete_) refresh();
}

void ProductScreenshotSource::setStorePage(bool value) {
    if (value == storePage_) return;
    storePage_ = value;
    emit inputsChanged();
    if (complete_) refresh();
}

void ProductScreenshotSource::setTestReleaseId(const QString& value) {
    if (value == testReleaseID_) return;
    testReleaseID_ = value;
    emit inputsChanged();
    if (complete_) refresh();
}

void ProductScreenshotSource::setTestVersion(const QString& value) {
    if (value == testVersion_) return;
    testVersion_ = value;
    emit inputsChanged();
    emit sourceChanged();
}

void ProductScreenshotSource::componentComplete() {
    complete_ = true;
    refresh();
}

QString ProductScreenshotSource::key(const QString& kind) const {
    return kind + QLatin1Char('/') + (kind == QLatin1String("test") ? testReleaseID_ : slug_) +
           QLatin1Char('/') + imageSerial_;
}

QString ProductScreenshotSource::kind() const {
    if (hasTest_) return QStringLiteral("test");
    if (hasStorefront_) return QStringLiteral("storefront");
    return QStringLiteral("fallback");
}

QString ProductScreenshotSource::source() const {
    if (hasTest_) return QStringLiteral("image://artwork/shot/") + key(QStringLiteral("test"));
    if (hasStorefront_) return QStringLiteral("image://artwork/shot/") + key(QStringLiteral("storefront"));
    const auto& folder = WindowServices::current().interfaceImages;
    if (folder.isEmpty() || slug_.isEmpty()) return {};
    return QUrl::fromLocalFile(folder + QLatin1Char('/') + slug_ + QStringLiteral("-interface.png"))
        .toString();
}

QString ProductScreenshotSource::caption() const {
    return hasTest_ ? QStringLiteral("TEST INTERFACE \u00b7 v") + testVersion_ : QString();
}

void ProductScreenshotSource::refresh() {
    ++generation_;
    hasTest_ = false;
    hasStorefront_ = false;
    emit sourceChanged();
    loadStorefront();
    loadTestArtwork();
}

void ProductScreenshotSource::loadStorefront() {
    const auto store = WindowServices::current().storefront;
    if (!storePage_ || !store || slug_.isEmpty()) return;
    const auto slug = slug_.toStdString();
    const int generation = generation_;
    const auto show = [this, generation](QFutureWatcher<DecodedArtwork>* watcher, bool fresh) {
        watcher->deleteLater();
        if (generation != generation_) return;
        const auto result = watcher->result();
        if (!result.artwork || result.image.isNull()) {
            // Only a fresh answer that the product has no screenshot removes the one shown.
            if (fresh && !result.artwork && hasStorefront_) {
                hasStorefront_ = false;
                emit sourceChanged();
            }
            return;
        }
        publish(QStringLiteral("storefront"), result.image);
        hasStorefront_ = true;
        emit sourceChanged();
    };
    auto* cachedWatcher = new QFutureWatcher<DecodedArtwork>(this);
    connect(cachedWatcher, &QFutureWatcher<DecodedArtwork>::finished, this,
            [show, cachedWatcher] { show(cachedWatcher, false); });
    cachedWatcher->setFuture(QtConcurrent::run(&WindowServices::storefrontWorker(),
                                               [store, slug] { return decoded(store->cached(slug)); }));
    auto* freshWatcher = new QFutureWatcher<DecodedArtwork>(this);
    connect(freshWatcher, &QFutureWatcher<DecodedArtwork>::finished, this,
            [show, freshWatcher] { show(freshWatcher, true); });
    freshWatcher->setFuture(QtConcurrent::run(&WindowServices::storefrontWorker(),
                                              [store, slug] { return decoded(store->refresh(slug)); }));
}

void ProductScreenshotSource::loadTestArtwork() {
    const auto& hub = WindowServices::current().hub;
    if (testReleaseID_.isEmpty() || !hub) return;
    hub->testArtwork(testReleaseID_);
}

}  // namespace halvex::ui

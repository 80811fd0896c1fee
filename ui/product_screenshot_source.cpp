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
                    if (releaseID != testReleaseID_) return;
                    // The model's answer that the test build has no artwork (any more).
                    if (data.isEmpty()) {
                        show(QStringLiteral("test"), {}, {});
                        return;
                    }
                    if (data == shownData_.value(QStringLiteral("test"))) return;
                    auto* watcher = new QFutureWatcher<QImage>(this);
                    const int generation = generation_;
                    connect(watcher, &QFutureWatcher<QImage>::finished, this,
                            [this, watcher, generation, data] {
                                watcher->deleteLater();
                                const auto image = watcher->result();
                                if (generation != generation_ || image.isNull() ||
                                    data == shownData_.value(QStringLiteral("test"))) {
                                    return;
                                }
                                show(QStringLiteral("test"), image, data);
                            });
                    watcher->setFuture(QtConcurrent::run(decodeImageToFit, data, largestPixelSize));
                });
    }
}

ProductScreenshotSource::~ProductScreenshotSource() {
    for (const auto& published : published_) ArtworkImageProvider::publish(published, {});
}

void ProductScreenshotSource::show(const QString& kind, const QImage& image, const QByteArray& data) {
    if (image.isNull() && !published_.contains(kind)) return;
    ArtworkImageProvider::publish(published_.take(kind), {});
    shownData_.remove(kind);
    if (!image.isNull()) {
        const auto key = kind + QLatin1Char('/') + QString::number(nextSerial());
        ArtworkImageProvider::publish(key, image);
        published_.insert(kind, key);
        shownData_.insert(kind, data);
    }
    emit sourceChanged();
}

void ProductScreenshotSource::setSlug(const QString& value) {
    if (value == slug_) return;
    slug_ = value;
    emit inputsChanged();
    if (complete_) reload();
}

void ProductScreenshotSource::setStorePage(bool value) {
    if (value == storePage_) return;
    storePage_ = value;
    emit inputsChanged();
    if (complete_) reload();
}

void ProductScreenshotSource::setTestReleaseId(const QString& value) {
    if (value == testReleaseID_) return;
    testReleaseID_ = value;
    emit inputsChanged();
    if (complete_) reload();
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

QString ProductScreenshotSource::kind() const {
    if (published_.contains(QStringLiteral("test"))) return QStringLiteral("test");
    if (published_.contains(QStringLiteral("storefront"))) return QStringLiteral("storefront");
    return QStringLiteral("fallback");
}

QString ProductScreenshotSource::source() const {
    for (const auto* kind : {"test", "storefront"}) {
        if (const auto key = published_.value(QLatin1String(kind)); !key.isEmpty())
            return QStringLiteral("image://artwork/shot/") + key;
    }
    const auto& folder = WindowServices::current().interfaceImages;
    if (folder.isEmpty() || slug_.isEmpty()) return {};
    return QUrl::fromLocalFile(folder + QLatin1Char('/') + slug_ + QStringLiteral("-interface.png"))
        .toString();
}

QString ProductScreenshotSource::caption() const {
    return published_.contains(QStringLiteral("test"))
               ? QStringLiteral("TEST INTERFACE \u00b7 v") + testVersion_
               : QString();
}

void ProductScreenshotSource::refresh() {
    // What shows stays until an answer replaces or removes it: a refresh that brings the same images
    // changes nothing on screen.
    ++generation_;
    loadStorefront();
    loadTestArtwork();
}

void ProductScreenshotSource::reload() {
    // New inputs: the images shown belong to another product or build.
    show(QStringLiteral("test"), {}, {});
    show(QStringLiteral("storefront"), {}, {});
    refresh();
}

void ProductScreenshotSource::loadStorefront() {
    const auto store = WindowServices::current().storefront;
    if (!storePage_ || !store || slug_.isEmpty()) return;
    const auto slug = slug_.toStdString();
    const int generation = generation_;
    const auto answered = [this, generation](QFutureWatcher<DecodedArtwork>* watcher, bool fresh) {
        watcher->deleteLater();
        if (generation != generation_) return;
        const auto result = watcher->result();
        if (!result.artwork || result.image.isNull()) {
            // Only a fresh answer that the product has no screenshot removes the one shown.
            if (fresh && !result.artwork) show(QStringLiteral("storefront"), {}, {});
            return;
        }
        const auto data = QByteArray::fromStdString(result.artwork->data);
        if (data != shownData_.value(QStringLiteral("storefront")))
            show(QStringLiteral("storefront"), result.image, data);
    };
    auto* cachedWatcher = new QFutureWatcher<DecodedArtwork>(this);
    connect(cachedWatcher, &QFutureWatcher<DecodedArtwork>::finished, this,
            [answered, cachedWatcher] { answered(cachedWatcher, false); });
    cachedWatcher->setFuture(QtConcurrent::run(&WindowServices::storefrontWorker(),
                                               [store, slug] { return decoded(store->cached(slug)); }));
    auto* freshWatcher = new QFutureWatcher<DecodedArtwork>(this);
    connect(freshWatcher, &QFutureWatcher<DecodedArtwork>::finished, this,
            [answered, freshWatcher] { answered(freshWatcher, true); });
    freshWatcher->setFuture(QtConcurrent::run(&WindowServices::storefrontWorker(),
                                              [store, slug] { return decoded(store->refresh(slug)); }));
}

void ProductScreenshotSource::loadTestArtwork() {
    const auto& hub = WindowServices::current().hub;
    if (testReleaseID_.isEmpty() || !hub) return;
    hub->testArtwork(testReleaseID_);
}

}  // namespace halvex::ui

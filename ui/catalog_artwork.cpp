#include "ui/catalog_artwork.h"

#include <QBuffer>
#include <QFutureWatcher>
#include <QImageReader>
#include <QNetworkReply>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

namespace halvex::ui {

QImage decodeBoundedImage(const QByteArray& bytes, int maximumSide) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const auto size = reader.size();
    if (!size.isValid() || size.width() < 1 || size.height() < 1 || size.width() > maximumSide ||
        size.height() > maximumSide) {
        return {};
    }
    QImage image;
    if (!reader.read(&image)) return {};
    return image;
}

CatalogArtwork::CatalogArtwork(QObject* parent) : QObject(parent) {
    cache_.setMaxCost(cacheCostLimit);
    // A redirect is an answer other than 200: refused, never followed.
    network_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

CatalogArtwork& CatalogArtwork::shared() {
    static auto* instance = new CatalogArtwork();
    return *instance;
}

QImage CatalogArtwork::cached(const QUrl& url) const {
    const auto* image = cache_.object(url);
    return image ? *image : QImage();
}

void CatalogArtwork::preload(const QUrl& url, const QImage& image) {
    const auto cost = static_cast<qint64>(image.width()) * image.height() * 4;
    if (!image.isNull() && cost <= cacheCostLimit)
        cache_.insert(url, new QImage(image), static_cast<int>(cost));
}

void CatalogArtwork::load(const QUrl& url, Completion done) {
    if (url.scheme() != QLatin1String("https") || !url.isValid()) {
        done({});
        return;
    }
    if (const auto* image = cache_.object(url)) {
        done(*image);
        return;
    }
    auto waiting = inFlight_.find(url);
    if (waiting != inFlight_.end()) {
        waiting->push_back(std::move(done));
        return;
    }
    inFlight_.insert(url, {std::move(done)});

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(30'000);
    auto* reply = network_.get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maximumBytes) reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        const auto status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) {
            finish(url, {});
            return;
        }
        const auto bytes = reply->readAll();
        if (bytes.size() > maximumBytes) {
            finish(url, {});
            return;
        }
        auto* watcher = new QFutureWatcher<QImage>(this);
        connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, url] {
            watcher->deleteLater();
            finish(url, watcher->result());
        });
        watcher->setFuture(QtConcurrent::run(decodeBoundedImage, bytes, maximumPixelSide));
    });
}

void CatalogArtwork::finish(const QUrl& url, const QImage& image) {
    preload(url, image);
    const auto waiting = inFlight_.take(url);
    for (const auto& done : waiting) done(image);
}

}  // namespace halvex::ui

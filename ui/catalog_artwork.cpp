#include "ui/catalog_artwork.h"

#include <QFutureWatcher>
#include <QNetworkReply>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cstring>

#include "platform/image_validation.h"

namespace halvex::ui {

QImage decodeImageToFit(const QByteArray& bytes, QSize box) {
    auto decoded = platform::decodeImageToFit(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
        static_cast<unsigned>(std::max(box.width(), 1)), static_cast<unsigned>(std::max(box.height(), 1)));
    if (!decoded) return {};
    QImage image(static_cast<int>(decoded->width), static_cast<int>(decoded->height),
                 QImage::Format_RGBA8888_Premultiplied);
    const auto rowBytes = std::size_t{decoded->width} * 4;
    for (unsigned y = 0; y < decoded->height; ++y)
        std::memcpy(image.scanLine(static_cast<int>(y)), decoded->pixels.data() + y * rowBytes, rowBytes);
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
        watcher->setFuture(QtConcurrent::run(decodeImageToFit, bytes, QSize(iconPixelSide, iconPixelSide)));
    });
}

void CatalogArtwork::finish(const QUrl& url, const QImage& image) {
    preload(url, image);
    const auto waiting = inFlight_.take(url);
    for (const auto& done : waiting) done(image);
}

}  // namespace halvex::ui

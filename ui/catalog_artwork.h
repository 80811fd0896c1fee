#pragma once

// The process-wide loader of catalogue icons: https only, HTTP status 200 only, at most 4 MiB per image,
// PNG or JPEG, decoded off the main thread to no more than the largest size the window shows an icon at,
// kept in a memory cache limited to 32 MiB of pixels (width × height × 4),
// with one load in flight per URL (later requests for it wait for the same load). Every failure yields a
// null image. Lives on the main thread; `load` must be called there, callbacks run there.

#include <QCache>
#include <QHash>
#include <QImage>
#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>
#include <functional>
#include <vector>

namespace halvex::ui {

class CatalogArtwork : public QObject {
    Q_OBJECT

  public:
    static constexpr qint64 maximumBytes = 4 * 1024 * 1024;
    static constexpr int cacheCostLimit = 32 * 1024 * 1024;
    // Icons are decoded to fit this square: the overview's 80-point icon on a screen of twice the
    // density. However large the file, an icon then costs at most 100 KiB of pixels.
    static constexpr int iconPixelSide = 160;

    using Completion = std::function<void(const QImage&)>;

    explicit CatalogArtwork(QObject* parent = nullptr);
    // The one instance the window's icons share; created on first use on the main thread.
    static CatalogArtwork& shared();

    // Calls `done` with the image, or a null image on any failure; at once for a cached image.
    void load(const QUrl& url, Completion done);
    // The cached image, or a null image.
    QImage cached(const QUrl& url) const;
    // Puts an image into the cache as if it had loaded (previews and screenshots without a network).
    void preload(const QUrl& url, const QImage& image);
    QNetworkAccessManager& network() { return network_; }

  private:
    void finish(const QUrl& url, const QImage& image);

    QNetworkAccessManager network_;
    QCache<QUrl, QImage> cache_;
    QHash<QUrl, std::vector<Completion>> inFlight_;
};

// Decodes a PNG or JPEG the hub may show (platform::validImage) scaled down while decoding to fit within
// `box` (never scaled up), so a large image never exists in memory at full size; null for anything
// else. Any thread.
QImage decodeImageToFit(const QByteArray& bytes, QSize box);

}  // namespace halvex::ui

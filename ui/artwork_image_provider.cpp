#include "ui/artwork_image_provider.h"

#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QQuickTextureFactory>
#include <QUrl>

#include "ui/catalog_artwork.h"

namespace halvex::ui {

namespace {

QMutex publishedMutex;
QHash<QString, QImage>& publishedImages() {
    static QHash<QString, QImage> images;
    return images;
}

class ArtworkResponse : public QQuickImageResponse {
  public:
    QQuickTextureFactory* textureFactory() const override {
        return image_.isNull() ? nullptr : QQuickTextureFactory::textureFactoryForImage(image_);
    }
    QString errorString() const override { return image_.isNull() ? QStringLiteral("no image") : QString(); }

    // Scaled down to the size QML asked for (its sourceSize), never up.
    void complete(const QImage& image, const QSize& requestedSize) {
        const bool larger =
            requestedSize.width() > 0 && requestedSize.height() > 0 &&
            (image.width() > requestedSize.width() || image.height() > requestedSize.height());
        image_ = larger ? image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation) : image;
        emit finished();
    }

  private:
    QImage image_;
};

}  // namespace

QQuickImageResponse* ArtworkImageProvider::requestImageResponse(const QString& id,
                                                                const QSize& requestedSize) {
    auto* response = new ArtworkResponse();
    auto* mainThread = QCoreApplication::instance()->thread();
    response->moveToThread(mainThread);
    QPointer<ArtworkResponse> guard(response);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard, id, requestedSize] {
            if (!guard) return;
            if (id.startsWith(QLatin1String("shot/"))) {
                guard->complete(published(id.mid(5)), requestedSize);
                return;
            }
            const auto url = id.startsWith(QLatin1String("icon/"))
                                 ? QUrl(QUrl::fromPercentEncoding(id.mid(5).toUtf8()))
                                 : QUrl();
            CatalogArtwork::shared().load(url, [guard, requestedSize](const QImage& image) {
                if (guard) guard->complete(image, requestedSize);
            });
        },
        Qt::QueuedConnection);
    return response;
}

void ArtworkImageProvider::publish(const QString& key, const QImage& image) {
    QMutexLocker lock(&publishedMutex);
    if (image.isNull()) {
        publishedImages().remove(key);
    } else {
        publishedImages().insert(key, image);
    }
}

QImage ArtworkImageProvider::published(const QString& key) {
    QMutexLocker lock(&publishedMutex);
    return publishedImages().value(key);
}

QString ArtworkImageProvider::iconSource(const QString& url) {
    return QStringLiteral("image://artwork/icon/") + QString::fromUtf8(QUrl::toPercentEncoding(url));
}

}  // namespace halvex::ui

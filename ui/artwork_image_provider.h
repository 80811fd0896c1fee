#pragma once

// The images QML shows from memory, as "image://artwork/<kind>/<key>":
// - "icon/<percent-encoded URL>": a catalogue icon through CatalogArtwork;
// - "shot/<key>": a screenshot a ProductScreenshotSource published with `publish`.
// Qt calls the provider on its image-loading thread; the work is handed to the main thread, where the
// response lives, so a response Qt drops is never touched afterwards.

#include <QImage>
#include <QMutex>
#include <QQuickAsyncImageProvider>
#include <QString>

namespace halvex::ui {

class ArtworkImageProvider : public QQuickAsyncImageProvider {
  public:
    QQuickImageResponse* requestImageResponse(const QString& id, const QSize& requestedSize) override;

    // Publishes a decoded image under `key` (replacing an older one) or removes it for a null image.
    static void publish(const QString& key, const QImage& image);
    static QImage published(const QString& key);
    static QString iconSource(const QString& url);
};

}  // namespace halvex::ui

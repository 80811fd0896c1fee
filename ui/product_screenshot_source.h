#pragma once

// The image a product overview shows: a test release's own artwork (with its caption), else the
// storefront's interface screenshot (cached copy first, fresh copy after), else the built-in interface
// image of the product's slug. Refreshes when created, when its inputs change and when the application
// becomes active; only new inputs clear what shows at once. Results come back from worker threads through
// watchers this object owns, so a closed overview drops them. Main thread only.

#include <QtQml/qqmlregistration.h>

#include <QFutureWatcher>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QQmlParserStatus>
#include <QSize>
#include <QString>
#include <optional>

#include "core/library/storefront_artwork_store.h"

namespace halvex::ui {

class ProductScreenshotSource : public QObject, public QQmlParserStatus {
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    QML_ELEMENT
    Q_PROPERTY(QString slug READ slug WRITE setSlug NOTIFY inputsChanged)
    Q_PROPERTY(bool storePage READ storePage WRITE setStorePage NOTIFY inputsChanged)
    Q_PROPERTY(QString testReleaseId READ testReleaseId WRITE setTestReleaseId NOTIFY inputsChanged)
    Q_PROPERTY(QString testVersion READ testVersion WRITE setTestVersion NOTIFY inputsChanged)
    Q_PROPERTY(QString source READ source NOTIFY sourceChanged)
    Q_PROPERTY(QString caption READ caption NOTIFY sourceChanged)
    // "test", "storefront" or "fallback".
    Q_PROPERTY(QString kind READ kind NOTIFY sourceChanged)
    // The largest size in pixels the window shows a screenshot at; images are decoded to fit it.
    Q_PROPERTY(QSize pixelSize READ pixelSize CONSTANT)

  public:
    // The overview shows a screenshot at most 712 × 356 points; twice that covers high-density screens.
    static constexpr QSize largestPixelSize{1424, 712};

    explicit ProductScreenshotSource(QObject* parent = nullptr);
    ~ProductScreenshotSource() override;

    QString slug() const { return slug_; }
    void setSlug(const QString& value);
    bool storePage() const { return storePage_; }
    void setStorePage(bool value);
    QString testReleaseId() const { return testReleaseID_; }
    void setTestReleaseId(const QString& value);
    QString testVersion() const { return testVersion_; }
    void setTestVersion(const QString& value);
    QString source() const;
    QString caption() const;
    QString kind() const;
    QSize pixelSize() const { return largestPixelSize; }

    void classBegin() override {}
    void componentComplete() override;

    // Asks again for the images (what becoming active does); those shown stay until an answer replaces or
    // removes them.
    Q_INVOKABLE void refresh();

  signals:
    void inputsChanged();
    void sourceChanged();

  private:
    // Clears what shows and asks afresh, for new inputs.
    void reload();
    void loadStorefront();
    void loadTestArtwork();
    // Shows `image` (decoded from `data`) as this source's image of one kind ("test" or "storefront"), or
    // removes that kind's image for a null one.
    void show(const QString& kind, const QImage& image, const QByteArray& data);

    QString slug_;
    bool storePage_ = false;
    QString testReleaseID_;
    QString testVersion_;
    bool complete_ = false;
    // Kind -> the key its image is published under, and the bytes it was decoded from.
    QHash<QString, QString> published_;
    QHash<QString, QByteArray> shownData_;
    int generation_ = 0;
};

}  // namespace halvex::ui

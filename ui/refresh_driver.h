#pragma once

// The window's periodic and event-driven work: a re-scan of the installation state every second (a tick is
// skipped while the previous re-scan still runs), and a quiet catalogue refresh when the application
// becomes active or the machine wakes from sleep (logind's PrepareForSleep on the system bus; no bus, no
// wake refresh). Main thread only.

#include <qcoro/qcorotask.h>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "app/model/hub_model.h"

namespace halvex::ui {

class RefreshDriver : public QObject {
    Q_OBJECT

  public:
    explicit RefreshDriver(app::HubModel* hub, QObject* parent = nullptr);
    // Starts the timer and listens for activation and wake-ups.
    void begin();

  public slots:
    void prepareForSleep(bool sleeping);

  private:
    QCoro::Task<> tick();
    QCoro::Task<> refreshQuietly();
    void refreshIfIdle();

    QPointer<app::HubModel> hub_;
    QTimer timer_;
    bool rescanning_ = false;
};

}  // namespace halvex::ui

#include "ui/refresh_driver.h"

#include <QDBusConnection>
#include <QGuiApplication>

namespace halvex::ui {

RefreshDriver::RefreshDriver(app::HubModel* hub, QObject* parent) : QObject(parent), hub_(hub) {
    timer_.setInterval(1000);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

void RefreshDriver::begin() {
    timer_.start();
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(application, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive) refreshIfIdle();
                });
    }
    auto bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                    SLOT(prepareForSleep(bool)));
    }
}

void RefreshDriver::prepareForSleep(bool sleeping) {
    if (!sleeping) refreshIfIdle();
}

QCoro::Task<> RefreshDriver::tick() {
    if (rescanning_ || !hub_) co_return;
    rescanning_ = true;
    QPointer<RefreshDriver> alive(this);
    co_await hub_->reloadInstallationStateAsync();
    if (alive) rescanning_ = false;
}

void RefreshDriver::refreshIfIdle() {
    if (hub_ && hub_->hasCatalog() && !hub_->busy()) refreshQuietly();
}

QCoro::Task<> RefreshDriver::refreshQuietly() {
    QPointer<app::HubModel> hub = hub_;
    try {
        co_await hub->refreshAsync(false);
    } catch (...) {
        // A background refresh that fails leaves the shown library as it was; the user's own Refresh
        // reports errors.
    }
}

}  // namespace halvex::ui

// HubModel: construction, the published state, its QML face, the computed values and error reporting.

#include <QCoreApplication>
#include <QDateTime>
#include <condition_variable>
#include <mutex>

#include "app/hub_update_restart.h"
#include "app/model/hub_model.h"
#include "app/model/model_errors.h"
#include "app/model/model_executor.h"
#include "app/presentation/product_presentation.h"
#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "platform/browser.h"
#include "platform/system_info.h"

namespace halvex::app {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}
QString text(const std::optional<std::string>& value) {
    return value ? text(*value) : QString();
}

// 2001-01-01 00:00:00 UTC, the status record's clock origin, in Unix milliseconds.
constexpr qint64 referenceDateUnixMilliseconds = 978'307'200'000;

QString stepName(PluginInstaller::Progress::Step step) {
    switch (step) {
        case PluginInstaller::Progress::Step::downloading:
            return QStringLiteral("downloading");
        case PluginInstaller::Progress::Step::verifying:
            return QStringLiteral("verifying");
        case PluginInstaller::Progress::Step::installing:
            return QStringLiteral("installing");
    }
    return {};
}

// Hands a prepared hub update to the finishing process and quits the application. The quit is a request
// to the main thread; this worker then waits for the model to go away with the application, or gives up
// (and the hand-off reports that the hub stayed open).
void handOffAndQuit(const std::string& ticket, std::stop_token stop) {
    HubUpdateRestart::handOff(ticket, [&stop] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
        std::mutex mutex;
        std::condition_variable_any quitting;
        std::unique_lock lock(mutex);
        quitting.wait_for(lock, stop, std::chrono::seconds(20), [] { return false; });
    });
}

}  // namespace

HubModel::Services HubModel::Services::forRunningBundle() {
    Services services;
    const auto controller =
        std::make_shared<BackgroundServiceController>(BackgroundServiceController::forRunningBundle());
    services.ensureBackgroundServiceRegistered = [controller] { return controller->ensureRegistered(); };
    services.backgroundServiceState = [controller] { return controller->currentState(); };
    services.openURL = [](const Url& url) { platform::openInDefaultBrowser(url.string()); };
    services.deviceName = platform::prettyHostName;
    services.handOffHubUpdate = handOffAndQuit;
    services.releaseArtwork = std::make_shared<ReleaseArtworkStore>();
    try {
        services.library = std::make_shared<LibraryService>();
    } catch (const std::exception& error) {
        services.constructionError = error.what();
    }
    return services;
}

HubModel::HubModel(QObject* parent) : HubModel(Services::forRunningBundle(), parent) {}

HubModel::HubModel(Services services, QObject* parent)
    : QObject(parent), executor_(std::make_unique<ModelExecutor>(this)), services_(std::move(services)) {
    if (services_.library) currentHubVersion_ = services_.library->hubVersion();
    if (services_.constructionError) phase_ = Phase::blocked(*services_.constructionError);
    publishedBusy_ = busy();
}

HubModel::HubModel(const Snapshot& snapshot, QObject* parent)
    : QObject(parent), executor_(std::make_unique<ModelExecutor>(this)) {
    currentHubVersion_ = snapshot.currentHubVersion;
    restore(snapshot);
}

HubModel::~HubModel() {
    sequence_.check();
    executor_->shutDown();
}

void HubModel::restore(const Snapshot& snapshot) {
    sequence_.check();
    setPhase(snapshot.phase);
    setCatalog(snapshot.catalog ? std::make_shared<const Catalog>(*snapshot.catalog) : nullptr);
    setProductStates(snapshot.products);
    setUpdatingAll(snapshot.updatingAll);
    setNoticeMessage(snapshot.noticeMessage);
    setErrorMessage(snapshot.errorMessage);
    setBackgroundServiceState(snapshot.backgroundServiceState);
    setBackgroundStatus(snapshot.backgroundStatus);
    setHubRelease(snapshot.hubRelease);
    setHubUpdateMessage(snapshot.hubUpdateMessage);
    setCheckingHubUpdate(snapshot.checkingHubUpdate);
    setRefreshingCatalog(snapshot.refreshingCatalog);
    setInstallingHubUpdate(snapshot.installingHubUpdate);
    setSigningIn(snapshot.signingIn);
    setCheckingInstallations(snapshot.checkingInstallations);
    setSignInURL(snapshot.signInURL);
    setInstallProgress(snapshot.installProgress);
}

// Errors.

void HubModel::handle(std::exception_ptr error) {
    sequence_.check();
    reported_ = error;
    setErrorMessage(userFacingMessage(error));
    if (isUnauthorized(error)) {
        setCatalog(nullptr);
        setPhase(Phase::signedOut());
    }
}

void HubModel::launch(QCoro::Task<> task) {
    [](HubModel* model, QCoro::Task<> running) -> QCoro::Task<> {
        std::exception_ptr failure;
        try {
            co_await running;
        } catch (const ModelDestroyed&) {
            co_return;  // the model is gone; nothing may touch it
        } catch (const OperationCancelled&) {
            // A cancellation the user asked for is no failure to show.
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (failure && failure != model->reported_) model->handle(failure);
    }(this, std::move(task));
}

const Product* HubModel::product(const std::string& productID) const {
    if (!catalog_) return nullptr;
    const auto found = std::find_if(catalog_->products.begin(), catalog_->products.end(),
                                    [&](const Product& product) { return product.productID == productID; });
    return found == catalog_->products.end() ? nullptr : &*found;
}

const Release* HubModel::catalogRelease(const std::string& releaseID) const {
    if (!catalog_) return nullptr;
    const auto found = std::find_if(catalog_->releases.begin(), catalog_->releases.end(),
                                    [&](const Release& release) { return release.releaseID == releaseID; });
    return found == catalog_->releases.end() ? nullptr : &*found;
}

// Computed values.

bool HubModel::busy() const {
    return installingHubUpdate_ || updatingAll_ || phase_.is(Phase::Kind::updating);
}

bool HubModel::backgroundNeedsAttention() const {
    return backgroundServiceState_.kind != BackgroundServiceController::State::Kind::active;
}

std::optional<Release> HubModel::release(const Product& product) const {
    if (!catalog_) return std::nullopt;
    return catalog_->installableRelease(product);
}

std::vector<Release> HubModel::availableUpdates() const {
    if (!catalog_) return {};
    return offeredUpdates(*catalog_, products_);
}

void HubModel::publishComputed() {
    sequence_.check();
    if (const bool nowBusy = busy(); nowBusy != publishedBusy_) {
        publishedBusy_ = nowBusy;
        emit busyChanged();
    }
    std::vector<std::string> updates;
    for (const auto& release : availableUpdates()) updates.push_back(release.releaseID);
    if (updates != publishedUpdates_) {
        publishedUpdates_ = std::move(updates);
        emit availableUpdatesChanged();
    }
}

// Setters.

namespace {

template <typename T>
bool assign(T& field, T value) {
    if (field == value) return false;
    field = std::move(value);
    return true;
}

}  // namespace

void HubModel::setPhase(Phase phase) {
    if (!assign(phase_, std::move(phase))) return;
    emit phaseChanged();
    publishComputed();
}

void HubModel::setCatalog(std::shared_ptr<const Catalog> catalog) {
    if (catalog_ == catalog) return;
    catalog_ = std::move(catalog);
    if (!catalog_) installationStateKnown_ = false;
    emit catalogChanged();
    publishComputed();
}

void HubModel::setProductStates(ProductStates states) {
    if (!assign(products_, std::move(states))) return;
    emit productStatesChanged();
    publishComputed();
}

void HubModel::setProductState(const std::string& productID, ProductState state) {
    auto states = products_;
    states[productID] = std::move(state);
    setProductStates(std::move(states));
}

void HubModel::setUpdatingAll(bool value) {
    if (!assign(updatingAll_, value)) return;
    emit updatingAllChanged();
    publishComputed();
}

void HubModel::setNoticeMessage(std::optional<std::string> message) {
    if (assign(noticeMessage_, std::move(message))) emit noticeMessageChanged();
}

void HubModel::setErrorMessage(std::optional<std::string> message) {
    if (assign(errorMessage_, std::move(message))) emit errorMessageChanged();
}

void HubModel::setBackgroundServiceState(BackgroundServiceController::State state) {
    if (assign(backgroundServiceState_, std::move(state))) emit backgroundServiceStateChanged();
}

void HubModel::setBackgroundStatus(std::optional<BackgroundAgentStatus> status) {
    if (assign(backgroundStatus_, std::move(status))) emit backgroundStatusChanged();
}

void HubModel::setHubRelease(std::optional<HubRelease> release) {
    if (assign(hubRelease_, std::move(release))) emit hubReleaseChanged();
}

void HubModel::setHubUpdateMessage(std::optional<std::string> message) {
    if (assign(hubUpdateMessage_, std::move(message))) emit hubUpdateMessageChanged();
}

void HubModel::setCheckingHubUpdate(bool value) {
    if (assign(checkingHubUpdate_, value)) emit checkingHubUpdateChanged();
}

void HubModel::setRefreshingCatalog(bool value) {
    if (assign(refreshingCatalog_, value)) emit refreshingCatalogChanged();
}

void HubModel::setInstallingHubUpdate(bool value) {
    if (!assign(installingHubUpdate_, value)) return;
    emit installingHubUpdateChanged();
    publishComputed();
}

void HubModel::setSigningIn(bool value) {
    if (assign(signingIn_, value)) emit signingInChanged();
}

void HubModel::setCheckingInstallations(bool value) {
    if (assign(checkingInstallations_, value)) emit checkingInstallationsChanged();
}

void HubModel::setSignInURL(std::optional<Url> url) {
    if (assign(signInURL_, std::move(url))) emit signInURLChanged();
}

void HubModel::setInstallProgress(std::map<std::string, InstallActivity> progress) {
    if (assign(installProgress_, std::move(progress))) emit installProgressChanged();
}

// The QML face.

QString HubModel::noticeMessageText() const {
    return text(noticeMessage_);
}
QString HubModel::errorMessageText() const {
    return text(errorMessage_);
}

QString HubModel::backgroundServiceStateName() const {
    switch (backgroundServiceState_.kind) {
        case BackgroundServiceController::State::Kind::active:
            return QStringLiteral("active");
        case BackgroundServiceController::State::Kind::requiresApproval:
            return QStringLiteral("requiresApproval");
        case BackgroundServiceController::State::Kind::unavailable:
            return QStringLiteral("unavailable");
    }
    return {};
}

QString HubModel::backgroundServiceMessage() const {
    return text(backgroundServiceState_.message);
}

QVariantMap HubModel::backgroundStatusMap() const {
    QVariantMap map;
    if (!backgroundStatus_) return map;
    const auto milliseconds = static_cast<qint64>(backgroundStatus_->checkedAt * 1000.0);
    map.insert(QStringLiteral("checkedAt"),
               QDateTime::fromMSecsSinceEpoch(referenceDateUnixMilliseconds + milliseconds, Qt::UTC));
    map.insert(QStringLiteral("message"), text(backgroundStatus_->message));
    if (backgroundStatus_->error) map.insert(QStringLiteral("error"), text(*backgroundStatus_->error));
    return map;
}

QString HubModel::hubReleaseVersion() const {
    return hubRelease_ ? text(hubRelease_->version) : QString();
}
QString HubModel::hubReleaseNotes() const {
    return hubRelease_ ? text(hubRelease_->releaseNotes) : QString();
}
QString HubModel::hubUpdateMessageText() const {
    return text(hubUpdateMessage_);
}

QVariantList HubModel::availableUpdateList() const {
    QVariantList list;
    for (const auto& release : availableUpdates()) {
        list.append(QVariantMap{{QStringLiteral("releaseId"), text(release.releaseID)},
                                {QStringLiteral("productId"), text(release.productID)},
                                {QStringLiteral("name"), text(release.name)},
                                {QStringLiteral("version"), text(release.version)},
                                {QStringLiteral("channel"), text(release.channel)}});
    }
    return list;
}

QString HubModel::signInURLText() const {
    return signInURL_ ? text(signInURL_->string()) : QString();
}

QVariantMap HubModel::installProgressMap() const {
    QVariantMap map;
    for (const auto& [productID, activity] : installProgress_) {
        const auto& progress = activity.progress;
        const double fraction =
            progress.bytesTotal > 0 ? static_cast<double>(progress.bytesDone) / progress.bytesTotal : 0.0;
        map.insert(text(productID),
                   QVariantMap{{QStringLiteral("step"), stepName(progress.step)},
                               {QStringLiteral("bytesDone"), static_cast<double>(progress.bytesDone)},
                               {QStringLiteral("bytesTotal"), static_cast<double>(progress.bytesTotal)},
                               {QStringLiteral("bytesPerSecond"), activity.bytesPerSecond},
                               {QStringLiteral("fraction"), std::clamp(fraction, 0.0, 1.0)},
                               {QStringLiteral("text"),
                                text(installProgressText(progress, activity.bytesPerSecond))}});
    }
    return map;
}

}  // namespace halvex::app

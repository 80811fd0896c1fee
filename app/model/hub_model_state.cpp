// HubModel: construction, the published state, its QML face and the computed values.

#include <QDateTime>

#include "app/model/hub_model.h"
#include "app/model/model_executor.h"
#include "app/presentation/product_presentation.h"
#include "core/foundation/semantic_version.h"

namespace halvex::app {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}
QString text(const std::optional<std::string>& value) {
    return value ? text(*value) : QString();
}

QVariantMap variantMap(const std::map<std::string, std::string>& values) {
    QVariantMap map;
    for (const auto& [key, value] : values) map.insert(text(key), text(value));
    return map;
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

}  // namespace

HubModel::HubModel(QObject* parent) : HubModel(Services::forRunningBundle(), parent) {}

HubModel::HubModel(Services services, QObject* parent)
    : QObject(parent), executor_(std::make_unique<ModelExecutor>(this)), services_(std::move(services)) {
    currentHubVersion_ = services_.currentHubVersion;
    if (services_.constructionError) phase_ = Phase::blocked(*services_.constructionError);
    publishedBusy_ = busy();
}

HubModel::HubModel(const Snapshot& snapshot, QObject* parent)
    : QObject(parent), executor_(std::make_unique<ModelExecutor>(this)) {
    currentHubVersion_ = snapshot.currentHubVersion;
    restore(snapshot);
}

HubModel::~HubModel() {
    executor_->shutDown();
}

void HubModel::restore(const Snapshot& snapshot) {
    setPhase(snapshot.phase);
    setCatalog(snapshot.catalog ? std::make_shared<const Catalog>(*snapshot.catalog) : nullptr);
    setInstalledVersions(snapshot.installedVersions);
    setInstalledChannels(snapshot.installedChannels);
    setPendingVersions(snapshot.pendingVersions);
    setIncompleteProducts(snapshot.incompleteProducts);
    setHeldVersions(snapshot.heldVersions);
    setRevertVersions(snapshot.revertVersions);
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

std::optional<Release> HubModel::updateRelease(const Product& product) const {
    if (!catalog_) return std::nullopt;
    const auto at = [&product](const std::map<std::string, std::string>& values) {
        const auto found = values.find(product.productID);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    };
    return catalog_->updateRelease(product, at(installedVersions_), at(installedChannels_));
}

std::vector<Release> HubModel::availableUpdates() const {
    std::vector<Release> updates;
    if (!catalog_) return updates;
    for (const auto& product : catalog_->products) {
        auto candidate = updateRelease(product);
        if (!candidate) continue;
        const auto& productID = candidate->productID;
        // A staged update finishes by itself; a held product stays at its version.
        if (pendingVersions_.contains(productID) || heldVersions_.contains(productID)) continue;
        const auto installed = installedVersions_.find(productID);
        if (installed == installedVersions_.end() ||
            SemanticVersion::isNewer(candidate->version, installed->second) ||
            (candidate->version == installed->second && incompleteProducts_.contains(productID))) {
            updates.push_back(std::move(*candidate));
        }
    }
    return updates;
}

void HubModel::publishComputed() {
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

void HubModel::setInstalledVersions(std::map<std::string, std::string> versions) {
    if (!assign(installedVersions_, std::move(versions))) return;
    emit installedVersionsChanged();
    publishComputed();
}

void HubModel::setInstalledChannels(std::map<std::string, std::string> channels) {
    if (!assign(installedChannels_, std::move(channels))) return;
    emit installedChannelsChanged();
    publishComputed();
}

void HubModel::setPendingVersions(std::map<std::string, std::string> versions) {
    if (!assign(pendingVersions_, std::move(versions))) return;
    emit pendingVersionsChanged();
    publishComputed();
}

void HubModel::setIncompleteProducts(std::set<std::string> products) {
    if (!assign(incompleteProducts_, std::move(products))) return;
    emit incompleteProductsChanged();
    publishComputed();
}

void HubModel::setHeldVersions(std::map<std::string, std::string> versions) {
    if (!assign(heldVersions_, std::move(versions))) return;
    emit heldVersionsChanged();
    publishComputed();
}

void HubModel::setRevertVersions(std::map<std::string, std::string> versions) {
    if (assign(revertVersions_, std::move(versions))) emit revertVersionsChanged();
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

QVariantMap HubModel::installedVersionsMap() const {
    return variantMap(installedVersions_);
}
QVariantMap HubModel::installedChannelsMap() const {
    return variantMap(installedChannels_);
}
QVariantMap HubModel::pendingVersionsMap() const {
    return variantMap(pendingVersions_);
}

QVariantMap HubModel::heldVersionsMap() const {
    return variantMap(heldVersions_);
}
QVariantMap HubModel::revertVersionsMap() const {
    return variantMap(revertVersions_);
}

QStringList HubModel::incompleteProductList() const {
    QStringList list;
    for (const auto& product : incompleteProducts_) list.append(text(product));
    return list;
}

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

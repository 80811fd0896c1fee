// HubModel: start, refresh, the installation-state scan, the hub check and the background service.

#include "app/model/hub_model.h"
#include "app/model/model_errors.h"
#include "app/model/model_executor.h"

namespace halvex::app {

namespace {

constexpr const char* couldNotLoadMessage = "Your plugin library could not load. Use Try Again to reconnect.";
constexpr const char* hubCheckFailedMessage = "Couldn\u2019t check HUB updates. Use Refresh to retry.";

}  // namespace

QCoro::Task<> HubModel::readStatusFile() {
    auto read = executor_->run(executor_->local,
                               [store = services_.statusStore](std::stop_token) { return store.read(); });
    setBackgroundStatus(co_await read);
}

QCoro::Task<> HubModel::recoverInterruptedWork() {
    std::exception_ptr failure;
    try {
        auto recovery = executor_->run(executor_->installer, [library = services_.library](std::stop_token) {
            library->recoverInterruptedWork();
        });
        co_await recovery;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // The journal stays for the next attempt; the window still starts and says what failed.
    if (failure) handle(failure);
}

QCoro::Task<bool> HubModel::hasCredential() {
    auto check = executor_->run(executor_->client, [library = services_.library](std::stop_token) {
        return library->client().hasCredential();
    });
    co_return co_await check;
}

QCoro::Task<> HubModel::startAsync() {
    sequence_.check();
    if (started_ || !services_.library) co_return;
    started_ = true;
    co_await recoverInterruptedWork();
    if (const auto& ensure = services_.ensureBackgroundServiceRegistered) {
        auto registration = executor_->run(executor_->local, [ensure](std::stop_token) { return ensure(); });
        setBackgroundServiceState(co_await registration);
    }
    co_await readStatusFile();
    auto hubCheck = checkHubUpdateAsync();
    std::exception_ptr failure;
    try {
        // Awaited on its own line: GCC 12 mishandles a temporary of a conditional that holds a co_await.
        const bool signedIn = co_await hasCredential();
        setPhase(signedIn ? Phase::loading() : Phase::signedOut());
        if (phase_.is(Phase::Kind::loading)) co_await refreshAsync(true);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        handle(failure);
        if (phase_.is(Phase::Kind::loading)) setPhase(Phase::blocked(couldNotLoadMessage));
    }
    co_await hubCheck;
    co_await readStatusFile();
}

QCoro::Task<> HubModel::refreshAsync(bool autoUpdateInstalled) {
    sequence_.check();
    if (!services_.library) co_return;
    co_await loadCatalog();
    setPhase(Phase::ready());
    if (autoUpdateInstalled) co_await installOfferedUpdates();
}

QCoro::Task<> HubModel::loadCatalog() {
    auto fetch = executor_->run(executor_->client, [library = services_.library](std::stop_token stop) {
        return std::make_shared<const Catalog>(library->client().catalog(stop));
    });
    auto catalog = co_await fetch;
    setCatalog(catalog);
    setCheckingInstallations(!installationStateKnown_);
    std::exception_ptr failure;
    try {
        co_await scanInstallationState(catalog, false);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    setCheckingInstallations(false);
    if (failure) std::rethrow_exception(failure);
    installationStateKnown_ = true;
}

QCoro::Task<> HubModel::installOfferedUpdates() {
    for (const auto& release : availableUpdates()) {
        if (needsNewerHub(release, currentHubVersion_) || busy()) continue;
        std::exception_ptr failure;
        try {
            co_await performInstallAsync(release, false);
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (!failure || isCancellation(failure)) continue;
        // A running host postpones the update to the next refresh, quietly.
        if (isHalvexError(failure, HalvexError::Case::dawIsRunning)) continue;
        if (!isUnauthorized(failure)) {
            setErrorMessage(userFacingMessage(failure));
            continue;
        }
        handle(failure);
        std::rethrow_exception(failure);
    }
}

QCoro::Task<> HubModel::scanInstallationState(std::shared_ptr<const Catalog> catalog, bool finishPending) {
    auto scanning = executor_->run(executor_->installer,
                                   [library = services_.library, catalog, finishPending](std::stop_token) {
                                       return library->scan(*catalog, finishPending);
                                   });
    setProductStates(co_await scanning);
}

QCoro::Task<> HubModel::reloadInstallationStateAsync() {
    sequence_.check();
    if (const auto& current = services_.backgroundServiceState) {
        auto stateCheck = executor_->run(executor_->local, [current](std::stop_token) { return current(); });
        setBackgroundServiceState(co_await stateCheck);
    }
    // A scan still running (a slow disk) is not queued a second time.
    if (busy() || scanning_ || !services_.library || !catalog_) co_return;
    scanning_ = true;
    std::exception_ptr failure;
    try {
        co_await scanInstallationState(catalog_, true);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    scanning_ = false;
    if (failure) {
        handle(failure);
        co_return;
    }
    installationStateKnown_ = catalog_ != nullptr;
    co_await readStatusFile();
}

QCoro::Task<> HubModel::refreshAllAsync() {
    sequence_.check();
    if (busy() || checkingHubUpdate_ || refreshingCatalog_) co_return;
    setRefreshingCatalog(true);
    auto hubCheck = checkHubUpdateAsync();
    bool signedIn = false;
    if (services_.library) {
        try {
            signedIn = co_await hasCredential();
        } catch (const std::exception&) {
            // An unreadable credential store counts as signed out here; the sign-in reports it.
        }
    }
    if (signedIn) {
        std::exception_ptr failure;
        try {
            co_await refreshAsync(false);
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (failure) handle(failure);
    }
    co_await hubCheck;
    setRefreshingCatalog(false);
}

QCoro::Task<> HubModel::checkHubUpdateAsync() {
    sequence_.check();
    if (!services_.library || checkingHubUpdate_ || installingHubUpdate_) co_return;
    setCheckingHubUpdate(true);
    try {
        auto check = executor_->run(executor_->updater, [library = services_.library](std::stop_token stop) {
            return library->hubUpdater().availableRelease(stop);
        });
        auto release = co_await check;
        setHubRelease(std::move(release));
        setHubUpdateMessage(std::nullopt);
    } catch (const std::exception&) {
        setHubUpdateMessage(hubCheckFailedMessage);
    }
    setCheckingHubUpdate(false);
}

void HubModel::start() {
    launch(startAsync());
}
void HubModel::refresh(bool autoUpdateInstalled) {
    launch(refreshAsync(autoUpdateInstalled));
}
void HubModel::reloadInstallationState() {
    launch(reloadInstallationStateAsync());
}
void HubModel::refreshAll() {
    launch(refreshAllAsync());
}
void HubModel::checkHubUpdate() {
    launch(checkHubUpdateAsync());
}

void HubModel::ensureBackgroundService() {
    sequence_.check();
    const auto& ensure = services_.ensureBackgroundServiceRegistered;
    if (!ensure) return;
    launch([](HubModel* model, ModelExecutor* executor,
              std::function<BackgroundServiceController::State()> ensure) -> QCoro::Task<> {
        auto registration = executor->run(executor->local, [ensure](std::stop_token) { return ensure(); });
        model->setBackgroundServiceState(co_await registration);
    }(this, executor_.get(), ensure));
}

}  // namespace halvex::app

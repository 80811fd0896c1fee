// HubModel: plugin installations, Update All, and cancelling a download.

#include "app/model/hub_model.h"
#include "app/model/model_errors.h"
#include "app/model/model_executor.h"

namespace halvex::app {

namespace {

// Progress reaches the main thread at most this often while bytes arrive.
constexpr auto progressInterval = std::chrono::milliseconds(100);

}  // namespace

QCoro::Task<PluginInstaller::InstallResult> HubModel::performInstallAsync(
    Release release, bool reportErrors, std::optional<bool> prepareWhileDAWRunning) {
    sequence_.check();
    if (!services_.library) throw HalvexError::invalidResponse();
    const auto* owner = product(release.productID);
    co_await requireInstallable(release, owner, reportErrors);
    beginInstallation(release);
    std::optional<InstallOutcome> outcome;
    std::exception_ptr failure;
    try {
        outcome = co_await runInstallation(release, *owner, prepareWhileDAWRunning.value_or(reportErrors));
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    endInstallation(release.productID);
    if (failure) {
        setPhase(Phase::ready());
        // A download the user cancelled is no error to show.
        if (reportErrors && !(userCancelledInstall_ && isCancellation(failure))) handle(failure);
        std::rethrow_exception(failure);
    }
    publishInstallation(release, *outcome, reportErrors);
    co_return outcome->result;
}

QCoro::Task<> HubModel::requireInstallable(const Release& release, const Product* owner, bool reportErrors) {
    std::exception_ptr refusal;
    try {
        app::requireInstallable(owner, stateOf(products_, release.productID), release, currentHubVersion_);
    } catch (const HalvexError&) {
        refusal = std::current_exception();
    }
    if (!refusal) co_return;
    // The hub this release needs may be out already: the window then offers it.
    if (needsNewerHub(release, currentHubVersion_)) co_await checkHubUpdateAsync();
    if (reportErrors) handle(refusal);
    std::rethrow_exception(refusal);
}

void HubModel::beginInstallation(const Release& release) {
    setPhase(Phase::updating(release.productID));
    ++installations_;
    installStop_.emplace();
    userCancelledInstall_ = false;
    auto progress = installProgress_;
    progress[release.productID] =
        InstallActivity{{PluginInstaller::Progress::Step::downloading, 0, release.sizeBytes}, 0};
    setInstallProgress(std::move(progress));
}

QCoro::Task<HubModel::InstallOutcome> HubModel::runInstallation(const Release& release, const Product& owner,
                                                                bool prepare) {
    // Runs on the installer's worker: hands the reports the throttle passes to the main thread.
    auto onProgress = [this, installation = installations_, productID = release.productID,
                       executor = executor_.get(), throttle = InstallProgressThrottle(progressInterval)](
                          const PluginInstaller::Progress& update) mutable {
        if (const auto activity = throttle.pass(update, std::chrono::steady_clock::now())) {
            executor->postToMain([this, installation, productID, activity = *activity] {
                showProgress(installation, productID, activity);
            });
        }
    };
    auto installation = executor_->run(
        executor_->installer,
        [library = services_.library, catalog = catalog_, release, owner, prepare,
         onProgress](std::stop_token stop) {
            auto result = library->install(*catalog, owner, release, true, prepare, stop, onProgress);
            return InstallOutcome{std::move(result), library->scan(*catalog, owner)};
        },
        installStop_->get_token());
    co_return co_await installation;
}

void HubModel::endInstallation(const std::string& productID) {
    installStop_.reset();
    auto progress = installProgress_;
    progress.erase(productID);
    setInstallProgress(std::move(progress));
}

void HubModel::publishInstallation(const Release& release, const InstallOutcome& outcome, bool reportErrors) {
    setProductState(release.productID, outcome.state);
    if (reportErrors && outcome.result.kind == PluginInstaller::InstallResult::Kind::pendingRestart)
        setNoticeMessage(stagedUpdateNotice(release, outcome.result.runningHosts));
    setPhase(Phase::ready());
}

void HubModel::showProgress(std::uint64_t installation, const std::string& productID,
                            InstallActivity activity) {
    // Reports of an installation that has ended arrive too late to show.
    if (installation != installations_ || !installStop_ || !installProgress_.contains(productID)) return;
    auto progress = installProgress_;
    progress[productID] = activity;
    setInstallProgress(std::move(progress));
}

QCoro::Task<> HubModel::updateAllAsync() {
    sequence_.check();
    if (busy() || checkingHubUpdate_ || refreshingCatalog_) co_return;
    const auto updates = availableUpdates();
    if (updates.empty()) co_return;
    setUpdatingAll(true);
    int installed = 0;
    std::vector<std::string> failures;
    for (const auto& release : updates) {
        std::exception_ptr failure;
        try {
            co_await performInstallAsync(release, false, true);
            ++installed;
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (!failure || (userCancelledInstall_ && isCancellation(failure))) continue;
        failures.push_back(release.name + ": " + userFacingMessage(failure));
        if (isUnauthorized(failure)) {
            handle(failure);
            break;
        }
    }
    summarizeUpdateAll(updates, installed, failures);
    setUpdatingAll(false);
}

void HubModel::summarizeUpdateAll(const std::vector<Release>& updates, int installed,
                                  const std::vector<std::string>& failures) {
    const auto staged = std::count_if(updates.begin(), updates.end(), [this](const Release& release) {
        return stateOf(products_, release.productID).pendingVersion.has_value();
    });
    auto summary = updateAllSummary(installed, static_cast<int>(staged));
    if (failures.empty()) {
        setErrorMessage(std::nullopt);
        setNoticeMessage(std::move(summary));
        return;
    }
    for (const auto& line : failures) summary += "\n" + line;
    setNoticeMessage(std::nullopt);
    setErrorMessage(std::move(summary));
}

void HubModel::performInstall(const QString& releaseID) {
    sequence_.check();
    const auto* release = catalogRelease(releaseID.toStdString());
    if (release == nullptr) return;
    launch([](QCoro::Task<PluginInstaller::InstallResult> install) -> QCoro::Task<> {
        co_await install;
    }(performInstallAsync(*release, true)));
}

void HubModel::updateAll() {
    launch(updateAllAsync());
}

void HubModel::cancelInstall() {
    sequence_.check();
    if (!installStop_) return;
    userCancelledInstall_ = true;
    installStop_->request_stop();
}

}  // namespace halvex::app

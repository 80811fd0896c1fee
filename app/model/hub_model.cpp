// HubModel: the operations.

#include "app/model/hub_model.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/hub_update_restart.h"
#include "app/model/model_executor.h"
#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "core/foundation/semantic_version.h"
#include "platform/browser.h"
#include "platform/process_environment.h"
#include "platform/system_info.h"

namespace halvex::app {

namespace {

constexpr const char* couldNotLoadMessage = "Your plugin library could not load. Use Try Again to reconnect.";
constexpr const char* hubCheckFailedMessage = "Couldn\u2019t check HUB updates. Use Refresh to retry.";
constexpr const char* productNotForSaleMessage = "This product is not currently available for purchase.";
constexpr const char* subscriptionNotForSaleMessage =
    "The subscription is not currently available for purchase.";
constexpr const char* purchaseFirstMessage = "Purchase this plugin before installing it.";
// Progress reaches the main thread at most this often while bytes arrive.
constexpr auto progressInterval = std::chrono::milliseconds(100);

std::string userFacingMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

bool isHalvexError(std::exception_ptr error, HalvexError::Case kind, int status = 0) {
    try {
        std::rethrow_exception(error);
    } catch (const HalvexError& failure) {
        return failure.is(kind) && (status == 0 || failure.status() == status);
    } catch (const std::exception&) {
        return false;
    }
}

bool isUnauthorized(std::exception_ptr error) {
    return isHalvexError(error, HalvexError::Case::server, 401);
}

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Locale-aware, case-insensitive containment of "engine": both texts lower-cased by the user's locale's
// rules.
bool namesEngine(const std::string& name) {
    const auto& locale = icu::Locale::getDefault();
    auto text = icu::UnicodeString::fromUTF8(name);
    auto word = icu::UnicodeString::fromUTF8("engine");
    return text.toLower(locale).indexOf(word.toLower(locale)) >= 0;
}

// "A and B", or "your DAW" when no host remains after dropping the audio engines.
std::string hostText(const std::vector<std::string>& names) {
    std::vector<std::string> hosts;
    for (const auto& name : names) {
        if (!namesEngine(name)) hosts.push_back(name);
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    if (hosts.empty()) return "your DAW";
    std::string joined;
    for (const auto& host : hosts) joined += (joined.empty() ? "" : " and ") + host;
    return joined;
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
    const auto bundle = Bundle::main();
    services.currentHubVersion = bundle.infoString("CFBundleShortVersionString").value_or("0.0.0");
    const auto controller =
        std::make_shared<BackgroundServiceController>(BackgroundServiceController::forRunningBundle());
    services.ensureBackgroundServiceRegistered = [controller] { return controller->ensureRegistered(); };
    services.backgroundServiceState = [controller] { return controller->currentState(); };
    services.openURL = [](const Url& url) { platform::openInDefaultBrowser(url.string()); };
    services.deviceName = platform::prettyHostName;
    services.handOffHubUpdate = handOffAndQuit;
    services.releaseArtwork = std::make_shared<ReleaseArtworkStore>();
    try {
        const auto configuration = HalvexConfiguration::bundled(bundle, platform::currentEnvironment());
        services.client.emplace(configuration, KeychainStore("com.halvex.hub"));
        services.installer = std::make_unique<PluginInstaller>(configuration);
        services.verifier.emplace(SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM));
        services.hubUpdater = std::make_unique<HubUpdater>(
            configuration, *services.client,
            SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM), HubUpdater::Options{});
    } catch (const std::exception& error) {
        services.constructionError = error.what();
    }
    return services;
}

void HubModel::launch(QCoro::Task<> task) {
    // The operation runs on by itself; its failures were handled inside it, and a destroyed model only
    // unwinds it.
    [](QCoro::Task<> running) -> QCoro::Task<> {
        try {
            co_await running;
        } catch (...) {
        }
    }(std::move(task));
}

void HubModel::handle(std::exception_ptr error) {
    setErrorMessage(userFacingMessage(error));
    if (isUnauthorized(error)) {
        setCatalog(nullptr);
        setPhase(Phase::signedOut());
    }
}

const Product* HubModel::product(const std::string& productID) const {
    if (!catalog_) return nullptr;
    const auto found = std::find_if(catalog_->products.begin(), catalog_->products.end(),
                                    [&](const Product& product) { return product.productID == productID; });
    return found == catalog_->products.end() ? nullptr : &*found;
}

void HubModel::openInBrowser(const Url& url) {
    if (!services_.openURL) return;
    executor_->local.post([this, open = services_.openURL, url, executor = executor_.get()](bool abandoned) {
        if (abandoned) return;
        try {
            open(url);
        } catch (const std::exception&) {
            executor->postToMain([this, error = std::current_exception()] { handle(error); });
        }
    });
}

QCoro::Task<> HubModel::readStatusFile() {
    auto read = executor_->run(executor_->local,
                               [store = services_.statusStore](std::stop_token) { return store.read(); });
    setBackgroundStatus(co_await read);
}

// Start and refresh.

QCoro::Task<> HubModel::recoverInterruptedWork() {
    std::exception_ptr failure;
    try {
        if (services_.installer) {
            auto plugins = executor_->run(executor_->installer,
                                          [installer = services_.installer.get()](std::stop_token) {
                                              installer->recoverInterruptedWork();
                                          });
            co_await plugins;
        }
        if (services_.hubUpdater) {
            auto hub =
                executor_->run(executor_->updater, [updater = services_.hubUpdater.get()](std::stop_token) {
                    updater->recoverInterruptedWork();
                });
            co_await hub;
        }
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // The journal stays for the next attempt; the window still starts and says what failed.
    if (failure) handle(failure);
}

QCoro::Task<> HubModel::startAsync() {
    if (started_ || !services_.client) co_return;
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
        auto credentialCheck = executor_->run(
            executor_->client,
            [client = &*services_.client](std::stop_token) { return client->hasCredential(); });
        const bool signedIn = co_await credentialCheck;
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
    if (!services_.client || !services_.installer || !services_.verifier) co_return;
    auto fetch = executor_->run(executor_->client, [client = &*services_.client](std::stop_token stop) {
        return std::make_shared<const Catalog>(client->catalog(stop));
    });
    auto catalog = co_await fetch;
    setCatalog(catalog);
    setCheckingInstallations(!installationStateKnown_);
    std::exception_ptr scanFailure;
    try {
        co_await scanInstallationState(catalog, false);
    } catch (const std::exception&) {
        scanFailure = std::current_exception();
    }
    setCheckingInstallations(false);
    if (scanFailure) std::rethrow_exception(scanFailure);
    installationStateKnown_ = true;
    setPhase(Phase::ready());
    if (!autoUpdateInstalled) co_return;

    for (const auto& release : availableUpdates()) {
        if (SemanticVersion::isNewer(release.minimumHubVersion, currentHubVersion_)) continue;
        if (busy()) continue;
        std::exception_ptr failure;
        try {
            co_await performInstallAsync(release, false);
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        if (!failure || isCancellation(failure)) continue;
        if (isHalvexError(failure, HalvexError::Case::dawIsRunning)) {
            setPhase(Phase::ready());
            continue;
        }
        setErrorMessage(userFacingMessage(failure));
        if (isUnauthorized(failure)) {
            setCatalog(nullptr);
            setPhase(Phase::signedOut());
            std::rethrow_exception(failure);
        }
    }
}

QCoro::Task<> HubModel::scanInstallationState(std::shared_ptr<const Catalog> catalog, bool finishPending) {
    struct Scan {
        std::map<std::string, std::optional<std::string>> versions;
        std::map<std::string, std::optional<std::string>> channels;
        std::map<std::string, bool> incomplete;
        std::map<std::string, std::string> pending;
        std::map<std::string, std::string> held;
        std::map<std::string, std::string> revertible;
    };
    auto scanning =
        executor_->run(executor_->installer, [catalog, finishPending, hubVersion = currentHubVersion_,
                                              installer = services_.installer.get(),
                                              verifier = &*services_.verifier](std::stop_token) {
            if (finishPending) {
                try {
                    installer->finishPendingUpdates(*verifier, hubVersion);
                } catch (const std::exception&) {
                    // The next scan tries again; a staged update that cannot finish stays staged.
                }
            }
            Scan result;
            const auto holds = installer->holds();
            for (const auto& product : catalog->products) {
                const auto& productID = product.productID;
                const auto version = installer->installedVersion(product.bundleID);
                const auto channel = installer->installedChannel(product.bundleID, *verifier);
                result.versions[productID] = version;
                result.channels[productID] = channel;
                const auto update = catalog->updateRelease(product, version, channel);
                result.incomplete[productID] =
                    update && version == update->version && !installer->isComplete(*update);
                if (holds.isHeld(productID))
                    result.held[productID] = holds.heldVersion(productID).value_or(version.value_or(""));
                if (const auto previous = installer->revertibleVersion(product))
                    result.revertible[productID] = *previous;
            }
            try {
                result.pending = installer->pendingVersions(*verifier);
            } catch (const std::exception&) {
                // Unreadable pending records count as none; the installer skips them the same way.
            }
            return result;
        });
    auto scan = co_await scanning;

    const auto apply = [](std::map<std::string, std::string>& values, const auto& changes) {
        for (const auto& [key, value] : changes) {
            if (value) {
                values[key] = *value;
            } else {
                values.erase(key);
            }
        }
    };
    auto versions = installedVersions_;
    apply(versions, scan.versions);
    auto channels = installedChannels_;
    apply(channels, scan.channels);
    auto incomplete = incompleteProducts_;
    for (const auto& [productID, isIncomplete] : scan.incomplete) {
        if (isIncomplete) {
            incomplete.insert(productID);
        } else {
            incomplete.erase(productID);
        }
    }
    setInstalledVersions(std::move(versions));
    setInstalledChannels(std::move(channels));
    setIncompleteProducts(std::move(incomplete));
    setPendingVersions(std::move(scan.pending));
    setHeldVersions(std::move(scan.held));
    setRevertVersions(std::move(scan.revertible));
}

QCoro::Task<> HubModel::reloadInstallationStateAsync() {
    if (const auto& current = services_.backgroundServiceState) {
        auto stateCheck = executor_->run(executor_->local, [current](std::stop_token) { return current(); });
        setBackgroundServiceState(co_await stateCheck);
    }
    // A scan still running (a slow disk) is not queued a second time.
    if (busy() || scanning_ || !services_.installer || !services_.verifier || !catalog_) co_return;
    scanning_ = true;
    const auto catalog = catalog_;
    std::exception_ptr failure;
    try {
        co_await scanInstallationState(catalog, true);
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
    if (busy() || checkingHubUpdate_ || refreshingCatalog_) co_return;
    setRefreshingCatalog(true);
    auto hubCheck = checkHubUpdateAsync();
    bool signedIn = false;
    if (services_.client) {
        try {
            auto credentialCheck = executor_->run(
                executor_->client,
                [client = &*services_.client](std::stop_token) { return client->hasCredential(); });
            signedIn = co_await credentialCheck;
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
    if (!services_.hubUpdater || checkingHubUpdate_ || installingHubUpdate_) co_return;
    setCheckingHubUpdate(true);
    try {
        auto check =
            executor_->run(executor_->updater, [updater = services_.hubUpdater.get()](std::stop_token stop) {
                return updater->availableRelease(stop);
            });
        auto release = co_await check;
        setHubRelease(std::move(release));
        setHubUpdateMessage(std::nullopt);
    } catch (const std::exception&) {
        setHubUpdateMessage(hubCheckFailedMessage);
    }
    setCheckingHubUpdate(false);
}

// Sign-in, sign-out and purchase links.

QCoro::Task<> HubModel::signInAsync() {
    if (!services_.client || signingIn_ || busy() || !phase_.is(Phase::Kind::signedOut)) co_return;
    setSigningIn(true);
    // A new attempt: what went wrong before no longer applies.
    setErrorMessage(std::nullopt);
    std::exception_ptr failure;
    try {
        const auto* client = &*services_.client;
        auto beginning = executor_->run(
            executor_->client, [client, deviceName = services_.deviceName](std::stop_token stop) {
                auto name = deviceName ? deviceName() : std::string();
                return client->beginAuthorization(name.empty() ? "Mac" : name, stop);
            });
        const auto authorization = co_await beginning;
        setSignInURL(authorization.verificationURIComplete);
        setPhase(Phase::authorizing(authorization.userCode));
        openInBrowser(authorization.verificationURIComplete);
        auto approval = executor_->run(executor_->signIn, [client, authorization](std::stop_token stop) {
            client->waitForAuthorization(authorization, stop);
        });
        co_await approval;
        co_await refreshAsync(true);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    setSigningIn(false);
    setSignInURL(std::nullopt);
    if (failure) {
        handle(failure);
        if (!catalog_) setPhase(Phase::signedOut());
    }
}

QCoro::Task<> HubModel::signOutAsync() {
    if (!services_.client) co_return;
    try {
        auto removal = executor_->run(executor_->client,
                                      [client = &*services_.client](std::stop_token) { client->signOut(); });
        co_await removal;
        setCatalog(nullptr);
        setInstalledVersions({});
        setPendingVersions({});
        setHeldVersions({});
        setRevertVersions({});
        setPhase(Phase::signedOut());
    } catch (const std::exception&) {
        handle(std::current_exception());
    }
}

namespace {

bool isStorePage(const std::optional<Url>& url, const std::string& storeHost) {
    return url && url->scheme() == "https" && url->host() == storeHost;
}

}  // namespace

void HubModel::purchase(const Product& product) {
    if (!product.owned && isStorePage(product.purchaseURL, services_.storeHost)) {
        openInBrowser(*product.purchaseURL);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(productNotForSaleMessage)));
}

void HubModel::purchaseAllAccess(const SubscriptionOffer& offer) {
    if (isStorePage(offer.purchaseURL, services_.storeHost)) {
        openInBrowser(offer.purchaseURL);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(subscriptionNotForSaleMessage)));
}

// Installations.

QCoro::Task<PluginInstaller::InstallResult> HubModel::performInstallAsync(
    Release release, bool reportErrors, std::optional<bool> prepareWhileDAWRunning) {
    if (!services_.client || !services_.installer || !services_.verifier)
        throw HalvexError::invalidResponse();
    const auto report = [&](const HalvexError& error) {
        if (reportErrors) handle(std::make_exception_ptr(error));
        return error;
    };
    const auto& productID = release.productID;
    const auto* owner = product(productID);
    if (owner == nullptr || !owner->owned) throw report(HalvexError::backgroundService(purchaseFirstMessage));
    if (SemanticVersion::isNewer(release.minimumHubVersion, currentHubVersion_)) {
        const auto message =
            "Update HALVEX HUB before installing " + release.name + " " + release.version + ".";
        co_await checkHubUpdateAsync();
        throw report(HalvexError::backgroundService(message));
    }

    setPhase(Phase::updating(productID));
    const auto installation = ++installations_;
    installStop_.emplace();
    userCancelledInstall_ = false;
    auto progress = installProgress_;
    progress[productID] =
        InstallActivity{{PluginInstaller::Progress::Step::downloading, 0, release.sizeBytes}, 0};
    setInstallProgress(std::move(progress));

    // Runs on the installer's worker: throttles the installer's reports and hands them to the main thread.
    auto onProgress = [this, installation, productID, executor = executor_.get(),
                       started = std::chrono::steady_clock::time_point(), firstBytes = std::int64_t(-1),
                       lastPost = std::chrono::steady_clock::time_point(),
                       lastStep = PluginInstaller::Progress::Step::downloading](
                          const PluginInstaller::Progress& update) mutable {
        const auto now = std::chrono::steady_clock::now();
        if (firstBytes < 0) {
            firstBytes = update.bytesDone;
            started = now;
        }
        const bool finished = update.bytesDone == update.bytesTotal;
        if (update.step == lastStep && !finished && now - lastPost < progressInterval) return;
        lastPost = now;
        lastStep = update.step;
        const std::chrono::duration<double> elapsed = now - started;
        const double rate =
            elapsed.count() > 0 ? static_cast<double>(update.bytesDone - firstBytes) / elapsed.count() : 0.0;
        executor->postToMain([this, installation, productID, activity = InstallActivity{update, rate}] {
            showProgress(installation, productID, activity);
        });
    };

    // The installation, and the version it replaced that revert can now put back.
    struct Outcome {
        PluginInstaller::InstallResult result;
        std::optional<std::string> revertible;
    };
    Outcome outcome;
    const auto& result = outcome.result;
    std::exception_ptr failure;
    try {
        auto installation = executor_->run(
            executor_->installer,
            [release, onProgress, owner = *owner, installer = services_.installer.get(),
             client = &*services_.client, verifier = &*services_.verifier,
             prepare = prepareWhileDAWRunning.value_or(reportErrors)](std::stop_token stop) {
                auto installed = installer->downloadAndInstall(release, *client, *verifier, true, prepare,
                                                               stop, onProgress);
                return Outcome{std::move(installed), installer->revertibleVersion(owner)};
            },
            installStop_->get_token());
        outcome = co_await installation;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    installStop_.reset();
    progress = installProgress_;
    progress.erase(productID);
    setInstallProgress(std::move(progress));

    if (failure) {
        setPhase(Phase::ready());
        // A download the user cancelled is no error to show.
        if (reportErrors && !(userCancelledInstall_ && isCancellation(failure))) handle(failure);
        std::rethrow_exception(failure);
    }
    if (result.kind == PluginInstaller::InstallResult::Kind::installed) {
        auto versions = installedVersions_;
        versions[productID] = release.version;
        auto channels = installedChannels_;
        channels[productID] = release.channel;
        auto incomplete = incompleteProducts_;
        incomplete.erase(productID);
        auto pending = pendingVersions_;
        pending.erase(productID);
        auto revertible = revertVersions_;
        if (outcome.revertible) {
            revertible[productID] = *outcome.revertible;
        } else {
            revertible.erase(productID);
        }
        setInstalledVersions(std::move(versions));
        setInstalledChannels(std::move(channels));
        setIncompleteProducts(std::move(incomplete));
        setPendingVersions(std::move(pending));
        setRevertVersions(std::move(revertible));
    } else {
        auto pending = pendingVersions_;
        pending[productID] = release.version;
        setPendingVersions(std::move(pending));
        if (reportErrors) {
            setNoticeMessage(release.name + " " + release.version + " is downloaded and verified. Restart " +
                             hostText(result.runningHosts) +
                             " to finish the update and use the latest version.");
        }
    }
    setPhase(Phase::ready());
    co_return outcome.result;
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

    setErrorMessage(std::nullopt);
    setNoticeMessage(std::nullopt);
    const auto staged = std::count_if(updates.begin(), updates.end(), [this](const Release& release) {
        return pendingVersions_.contains(release.productID);
    });
    if (staged == 0) {
        setNoticeMessage(std::to_string(installed) + " plugin updates installed.");
    } else {
        setNoticeMessage(std::to_string(staged) + (staged == 1 ? " update" : " updates") +
                         " downloaded and verified. Close your DAW to finish installing.");
    }
    if (!failures.empty()) {
        std::string lines = noticeMessage_.value_or("");
        for (const auto& line : failures) lines += "\n" + line;
        setErrorMessage(lines);
        setNoticeMessage(std::nullopt);
    }
    setUpdatingAll(false);
}

QCoro::Task<> HubModel::installHubUpdateAsync() {
    if (!services_.hubUpdater || !hubRelease_ || busy()) co_return;
    const auto release = *hubRelease_;
    auto* updater = services_.hubUpdater.get();
    setInstallingHubUpdate(true);
    setHubUpdateMessage("Downloading and verifying HUB " + release.version + "\u2026");
    std::string ticket;
    std::exception_ptr failure;
    try {
        auto preparation = executor_->run(executor_->updater, [updater, release](std::stop_token stop) {
            return updater->prepare(release, stop);
        });
        ticket = co_await preparation;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        setInstallingHubUpdate(false);
        setHubUpdateMessage(std::nullopt);
        handle(failure);
        co_return;
    }

    setHubUpdateMessage("Restarting to finish the update\u2026");
    try {
        auto handOff = executor_->run(executor_->updater, [handOff = services_.handOffHubUpdate,
                                                           ticket](std::stop_token stop) {
            if (!handOff)
                throw HalvexError::backgroundService("The HUB updater could not start. Please try again.");
            handOff(ticket, stop);
        });
        co_await handOff;
        co_return;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    try {
        auto discard = executor_->run(
            executor_->updater, [updater, ticket](std::stop_token) { updater->discardPrepared(ticket); });
        co_await discard;
    } catch (const std::exception&) {
        // The hand-off's failure is the one to show; a ticket folder left behind is removed by the next
        // preparation's clean-up.
    }
    setInstallingHubUpdate(false);
    setHubUpdateMessage(std::nullopt);
    handle(failure);
}

QCoro::Task<std::optional<std::string>> HubModel::testArtworkAsync(Release release) {
    if (!services_.client || !catalog_ || !services_.releaseArtwork) co_return std::nullopt;
    const auto* owner = product(release.productID);
    if (owner == nullptr) co_return std::nullopt;
    const auto test = catalog_->testRelease(*owner);
    if (!test || test->releaseID != release.releaseID) co_return std::nullopt;
    auto artwork = executor_->run(
        executor_->client,
        [store = services_.releaseArtwork, client = &*services_.client, release](std::stop_token stop) {
            return store->refresh(release.releaseID,
                                  [&](const std::string&) { return client->releaseArtwork(release, stop); });
        });
    co_return co_await artwork;
}

// The QML entry points.

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
void HubModel::signIn() {
    launch(signInAsync());
}
void HubModel::signOut() {
    launch(signOutAsync());
}
void HubModel::updateAll() {
    launch(updateAllAsync());
}
void HubModel::installHubUpdate() {
    launch(installHubUpdateAsync());
}

void HubModel::openSignInURL() {
    if (signInURL_) openInBrowser(*signInURL_);
}

void HubModel::purchase(const QString& productID) {
    if (const auto* found = product(productID.toStdString())) {
        purchase(*found);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(productNotForSaleMessage)));
}

void HubModel::purchaseAllAccess() {
    if (catalog_ && catalog_->subscriptionOffer) {
        purchaseAllAccess(*catalog_->subscriptionOffer);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(subscriptionNotForSaleMessage)));
}

void HubModel::performInstall(const QString& releaseID) {
    if (!catalog_) return;
    const auto id = releaseID.toStdString();
    const auto found = std::find_if(catalog_->releases.begin(), catalog_->releases.end(),
                                    [&](const Release& release) { return release.releaseID == id; });
    if (found == catalog_->releases.end()) return;
    launch([](QCoro::Task<PluginInstaller::InstallResult> install) -> QCoro::Task<> {
        co_await install;
    }(performInstallAsync(*found, true)));
}

void HubModel::testArtwork(const QString& releaseID) {
    if (!catalog_) return;
    const auto id = releaseID.toStdString();
    const auto found = std::find_if(catalog_->releases.begin(), catalog_->releases.end(),
                                    [&](const Release& release) { return release.releaseID == id; });
    if (found == catalog_->releases.end()) return;
    launch([](HubModel* model, QString releaseID,
              QCoro::Task<std::optional<std::string>> load) -> QCoro::Task<> {
        const auto image = co_await load;
        emit model->testArtworkLoaded(releaseID, image ? QByteArray::fromStdString(*image) : QByteArray());
    }(this, releaseID, testArtworkAsync(*found)));
}

void HubModel::cancelInstall() {
    if (!installStop_) return;
    userCancelledInstall_ = true;
    installStop_->request_stop();
}

void HubModel::ensureBackgroundService() {
    const auto& ensure = services_.ensureBackgroundServiceRegistered;
    if (!ensure) return;
    launch([](HubModel* model, ModelExecutor* executor,
              std::function<BackgroundServiceController::State()> ensure) -> QCoro::Task<> {
        auto registration = executor->run(executor->local, [ensure](std::stop_token) { return ensure(); });
        model->setBackgroundServiceState(co_await registration);
    }(this, executor_.get(), ensure));
}

}  // namespace halvex::app

#pragma once

// The window's one model: an adapter over the library service (app/library), which owns the core objects
// and the product rules. The model runs the service's work off the main thread, publishes what the window
// shows (the phase, the catalogue, one ProductState per product, messages, progress) and offers every
// operation the window calls (start, refresh, sign-in, purchase links, installs, Update All, the hub
// update, and revert, hold, release and uninstall of one product).
//
// Threads: the model lives on the main thread; construct it, call it, read it and destroy it there only
// (a SequenceChecker ends the process on a call from elsewhere). Work on the client, the installer, the
// hub updater and the local files runs on one serial worker thread per object and resumes on the main
// thread; the main thread never waits on the network or the disk. Every resume first checks that the
// model still lives. Destroying the model cancels the running operations through their stop tokens,
// waits for the workers, and ends every suspended operation without letting it touch the model.
//
// Two faces of the same state:
// - QML reads the Q_PROPERTYs (QString, QVariantMap, QVariantList); an absent optional text reads as an
//   empty string. Each NOTIFY signal fires only when the value changed.
// - C++ (the presentation rules, the tests) reads the plain accessors below; productStatesChanged fires
//   when any product's record changed.
// Operations: every Q_INVOKABLE starts the operation and returns at once; C++ may instead co_await the
// `...Async` coroutine of the same operation (QCoro::Task, resumed on the main thread). A failure is shown
// through errorMessage and rethrown to an awaiting caller; a cancellation the user asked for is neither.
//
// Construction:
// - HubModel(): everything from the running bundle and the process environment (the application).
// - HubModel(Services): an injected library service and seams (tests, other front ends).
// - HubModel(Snapshot): a fixed published state without any service (screenshot fixtures, previews);
//   every operation is then a no-op. restore(Snapshot) replaces the shown state later; it is meant for
//   fixtures only and emits the NOTIFY signals like any other change.

#include <qcoro/qcorotask.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "app/library/library_service.h"
#include "app/library/phase.h"
#include "app/library/product_state.h"
#include "app/model/install_progress.h"
#include "app/sequence_checker.h"
#include "core/library/release_artwork_store.h"
#include "core/service/catalog.h"
#include "core/service/hub_release.h"

namespace halvex::app {

class ModelExecutor;

class HubModel : public QObject {
    Q_OBJECT

    Q_PROPERTY(bool hasCatalog READ hasCatalog NOTIFY catalogChanged)
    Q_PROPERTY(bool updatingAll READ updatingAll NOTIFY updatingAllChanged)
    Q_PROPERTY(QString noticeMessage READ noticeMessageText NOTIFY noticeMessageChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    // "active", "requiresApproval" or "unavailable"; the message belongs to "unavailable".
    Q_PROPERTY(
        QString backgroundServiceState READ backgroundServiceStateName NOTIFY backgroundServiceStateChanged)
    Q_PROPERTY(
        QString backgroundServiceMessage READ backgroundServiceMessage NOTIFY backgroundServiceStateChanged)
    // Empty when no status was read; else "checkedAt" (QDateTime), "message" and, when present, "error".
    Q_PROPERTY(QVariantMap backgroundStatus READ backgroundStatusMap NOTIFY backgroundStatusChanged)
    // The newer hub's version and release notes; empty when none is known.
    Q_PROPERTY(QString hubReleaseVersion READ hubReleaseVersion NOTIFY hubReleaseChanged)
    Q_PROPERTY(QString hubReleaseNotes READ hubReleaseNotes NOTIFY hubReleaseChanged)
    Q_PROPERTY(QString hubUpdateMessage READ hubUpdateMessageText NOTIFY hubUpdateMessageChanged)
    Q_PROPERTY(bool checkingHubUpdate READ checkingHubUpdate NOTIFY checkingHubUpdateChanged)
    Q_PROPERTY(bool refreshingCatalog READ refreshingCatalog NOTIFY refreshingCatalogChanged)
    Q_PROPERTY(bool installingHubUpdate READ installingHubUpdate NOTIFY installingHubUpdateChanged)
    Q_PROPERTY(bool signingIn READ signingIn NOTIFY signingInChanged)
    // True from the moment a catalogue arrives whose installation state has not been read yet (the first
    // one after start, sign-in or a retry) until that first scan ends.
    Q_PROPERTY(bool checkingInstallations READ checkingInstallations NOTIFY checkingInstallationsChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    // The offered updates (offeredUpdates), one map per release: "releaseId", "productId", "name",
    // "version", "channel".
    Q_PROPERTY(QVariantList availableUpdates READ availableUpdateList NOTIFY availableUpdatesChanged)
    Q_PROPERTY(
        bool backgroundNeedsAttention READ backgroundNeedsAttention NOTIFY backgroundServiceStateChanged)
    Q_PROPERTY(QString signInURL READ signInURLText NOTIFY signInURLChanged)
    // By product identifier, while its installation runs: "step" ("downloading", "verifying",
    // "installing"), "bytesDone", "bytesTotal" (numbers), "bytesPerSecond", "fraction" (0...1) and "text".
    Q_PROPERTY(QVariantMap installProgress READ installProgressMap NOTIFY installProgressChanged)
    Q_PROPERTY(QString currentHubVersion READ currentHubVersionText CONSTANT)

  public:
    // A running installation as the window shows it.
    using InstallActivity = app::InstallActivity;

    // Everything the model works with. Without a library service the operations that need it return at
    // once, as when building it failed.
    struct Services {
        std::shared_ptr<LibraryService> library;
        // A construction failure's message: the model starts in the blocked phase with it.
        std::optional<std::string> constructionError;
        // Purchase links must be https URLs of exactly this host.
        std::string storeHost = "store.halvexaudio.com";
        BackgroundAgentStatusStore statusStore;
        std::function<BackgroundServiceController::State()> ensureBackgroundServiceRegistered;
        std::function<BackgroundServiceController::State()> backgroundServiceState;
        // Opens a URL in the user's default browser; must not block for long.
        std::function<void(const Url&)> openURL;
        // The computer's human-readable name; empty when it has none.
        std::function<std::string()> deviceName;
        // Starts the finishing process of a prepared hub update and asks the application to quit;
        // throws when the hand-off failed. Runs on the hub updater's worker; `stop` fires when the model
        // is destroyed (the application is quitting).
        std::function<void(const std::string& ticket, std::stop_token stop)> handOffHubUpdate;
        std::shared_ptr<ReleaseArtworkStore> releaseArtwork;

        // The application's services: the running bundle's library service, the standard folders,
        // xdg-open, the host name, the autostart registration.
        static Services forRunningBundle();
    };

    // The published state; used to show a fixed state (see the header comment).
    struct Snapshot {
        Phase phase;
        std::optional<Catalog> catalog;
        ProductStates products;
        bool updatingAll = false;
        std::optional<std::string> noticeMessage;
        std::optional<std::string> errorMessage;
        BackgroundServiceController::State backgroundServiceState;
        std::optional<BackgroundAgentStatus> backgroundStatus;
        std::optional<HubRelease> hubRelease;
        std::optional<std::string> hubUpdateMessage;
        bool checkingHubUpdate = false;
        bool refreshingCatalog = false;
        bool installingHubUpdate = false;
        bool signingIn = false;
        bool checkingInstallations = false;
        std::optional<Url> signInURL;
        std::map<std::string, InstallActivity> installProgress;
        std::string currentHubVersion = "0.0.0";
    };

    explicit HubModel(QObject* parent = nullptr);
    explicit HubModel(Services services, QObject* parent = nullptr);
    explicit HubModel(const Snapshot& snapshot, QObject* parent = nullptr);
    ~HubModel() override;

    HubModel(const HubModel&) = delete;
    HubModel& operator=(const HubModel&) = delete;

    void restore(const Snapshot& snapshot);

    // Published state for C++.
    const Phase& phase() const { return phase_; }
    // Null without a catalogue.
    const Catalog* catalog() const { return catalog_.get(); }
    bool hasCatalog() const { return catalog_ != nullptr; }
    const ProductStates& productStates() const { return products_; }
    bool updatingAll() const { return updatingAll_; }
    const std::optional<std::string>& noticeMessage() const { return noticeMessage_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const BackgroundServiceController::State& backgroundServiceState() const {
        return backgroundServiceState_;
    }
    const std::optional<BackgroundAgentStatus>& backgroundStatus() const { return backgroundStatus_; }
    const std::optional<HubRelease>& hubRelease() const { return hubRelease_; }
    const std::optional<std::string>& hubUpdateMessage() const { return hubUpdateMessage_; }
    bool checkingHubUpdate() const { return checkingHubUpdate_; }
    bool refreshingCatalog() const { return refreshingCatalog_; }
    bool installingHubUpdate() const { return installingHubUpdate_; }
    bool signingIn() const { return signingIn_; }
    bool checkingInstallations() const { return checkingInstallations_; }
    const std::optional<Url>& signInURL() const { return signInURL_; }
    const std::map<std::string, InstallActivity>& installProgress() const { return installProgress_; }
    const std::string& currentHubVersion() const { return currentHubVersion_; }

    // Computed.
    bool busy() const;
    bool backgroundNeedsAttention() const;
    // The updates the library offers (offeredUpdates over the published state).
    std::vector<Release> availableUpdates() const;
    // The catalogue's installable release for the product; none without a catalogue.
    std::optional<Release> release(const Product& product) const;

    // Operations for C++: the coroutines behind the Q_INVOKABLEs.
    QCoro::Task<> startAsync();
    // Throws what the catalogue fetch or a 401 during the automatic updates threw.
    QCoro::Task<> refreshAsync(bool autoUpdateInstalled);
    QCoro::Task<> reloadInstallationStateAsync();
    QCoro::Task<> refreshAllAsync();
    QCoro::Task<> checkHubUpdateAsync();
    QCoro::Task<> signInAsync();
    QCoro::Task<> signOutAsync();
    // Throws the installation's error (reported through errorMessage only when `reportErrors`).
    QCoro::Task<PluginInstaller::InstallResult> performInstallAsync(
        Release release, bool reportErrors, std::optional<bool> prepareWhileDAWRunning = std::nullopt);
    QCoro::Task<> updateAllAsync();
    QCoro::Task<> installHubUpdateAsync();
    QCoro::Task<std::optional<std::string>> testArtworkAsync(Release release);
    // One product's installation. Revert and uninstall show the product as being updated while they run
    // and do nothing while the model is busy; all four re-read the product's state afterwards and report
    // a failure through errorMessage (rethrowing it to the awaiting caller).
    QCoro::Task<> revertProductAsync(std::string productID);
    QCoro::Task<> holdProductAsync(std::string productID);
    QCoro::Task<> releaseHoldAsync(std::string productID);
    QCoro::Task<> uninstallProductAsync(std::string productID);
    void purchase(const Product& product);
    void purchaseAllAccess(const SubscriptionOffer& offer);

    // Operations for QML (and C++ callers that do not wait).
    Q_INVOKABLE void start();
    Q_INVOKABLE void refresh(bool autoUpdateInstalled);
    Q_INVOKABLE void reloadInstallationState();
    Q_INVOKABLE void refreshAll();
    Q_INVOKABLE void checkHubUpdate();
    Q_INVOKABLE void signIn();
    Q_INVOKABLE void signOut();
    // "Open Browser Again": the running sign-in's address.
    Q_INVOKABLE void openSignInURL();
    Q_INVOKABLE void purchase(const QString& productID);
    // The catalogue's subscription offer.
    Q_INVOKABLE void purchaseAllAccess();
    // The window's product action: the catalogue release with that identifier, reporting errors.
    Q_INVOKABLE void performInstall(const QString& releaseID);
    Q_INVOKABLE void updateAll();
    Q_INVOKABLE void installHubUpdate();
    // Answers through testArtworkLoaded (empty data when there is none).
    Q_INVOKABLE void testArtwork(const QString& releaseID);
    // Cancels the running plugin download: the partial file stays for the next attempt, nothing is
    // installed, no message is shown. Does nothing once the download has finished.
    Q_INVOKABLE void cancelInstall();
    // The window's retry of the background service registration.
    Q_INVOKABLE void ensureBackgroundService();
    // The product overview's controls, after the user confirmed (see revertProductAsync and the others).
    Q_INVOKABLE void revertProduct(const QString& productID);
    Q_INVOKABLE void holdProduct(const QString& productID);
    Q_INVOKABLE void releaseHold(const QString& productID);
    Q_INVOKABLE void uninstallProduct(const QString& productID);

  signals:
    void phaseChanged();
    void catalogChanged();
    void productStatesChanged();
    void updatingAllChanged();
    void noticeMessageChanged();
    void errorMessageChanged();
    void backgroundServiceStateChanged();
    void backgroundStatusChanged();
    void hubReleaseChanged();
    void hubUpdateMessageChanged();
    void checkingHubUpdateChanged();
    void refreshingCatalogChanged();
    void installingHubUpdateChanged();
    void signingInChanged();
    void checkingInstallationsChanged();
    void busyChanged();
    void availableUpdatesChanged();
    void signInURLChanged();
    void installProgressChanged();
    void testArtworkLoaded(const QString& releaseID, const QByteArray& image);

  private:
    // The outcome of an installation on the installer's worker: its result and the product's new record.
    struct InstallOutcome {
        PluginInstaller::InstallResult result;
        ProductState state;
    };
    using InstallationChange = std::function<std::string(LibraryService&, const Product&)>;

    // QML readers.
    QString noticeMessageText() const;
    QString errorMessageText() const;
    QString backgroundServiceStateName() const;
    QString backgroundServiceMessage() const;
    QVariantMap backgroundStatusMap() const;
    QString hubReleaseVersion() const;
    QString hubReleaseNotes() const;
    QString hubUpdateMessageText() const;
    QVariantList availableUpdateList() const;
    QString signInURLText() const;
    QVariantMap installProgressMap() const;
    QString currentHubVersionText() const { return QString::fromStdString(currentHubVersion_); }

    // Setters: each emits its signal (and those of the computed values) only on a change.
    void setPhase(Phase phase);
    void setCatalog(std::shared_ptr<const Catalog> catalog);
    void setProductStates(ProductStates states);
    void setProductState(const std::string& productID, ProductState state);
    void setUpdatingAll(bool value);
    void setNoticeMessage(std::optional<std::string> message);
    void setErrorMessage(std::optional<std::string> message);
    void setBackgroundServiceState(BackgroundServiceController::State state);
    void setBackgroundStatus(std::optional<BackgroundAgentStatus> status);
    void setHubRelease(std::optional<HubRelease> release);
    void setHubUpdateMessage(std::optional<std::string> message);
    void setCheckingHubUpdate(bool value);
    void setRefreshingCatalog(bool value);
    void setInstallingHubUpdate(bool value);
    void setSigningIn(bool value);
    void setCheckingInstallations(bool value);
    void setSignInURL(std::optional<Url> url);
    void setInstallProgress(std::map<std::string, InstallActivity> progress);
    void publishComputed();

    // Shows the error (a 401 also signs out) and remembers it as reported.
    void handle(std::exception_ptr error);
    // Runs an operation nobody awaits. Its failures were reported inside it; one that was not (a fault in
    // the model itself) is reported here, and a cancellation the user asked for stays silent.
    void launch(QCoro::Task<> task);
    void openInBrowser(const Url& url);
    const Product* product(const std::string& productID) const;
    const Release* catalogRelease(const std::string& releaseID) const;

    // Start and refresh (hub_model_refresh.cpp).
    QCoro::Task<> readStatusFile();
    // Settles what a crash cut short, ahead of every other job queued on the installer's worker.
    QCoro::Task<> recoverInterruptedWork();
    QCoro::Task<bool> hasCredential();
    // Fetches the catalogue and reads the installation state of its products for the first time.
    QCoro::Task<> loadCatalog();
    // The installation-state scan over `catalog` (with the staged updates finished first when asked).
    QCoro::Task<> scanInstallationState(std::shared_ptr<const Catalog> catalog, bool finishPending);
    QCoro::Task<> installOfferedUpdates();

    // Installations (hub_model_installs.cpp).
    // Throws the rule's refusal, first asking for a newer hub when that is what the release needs.
    QCoro::Task<> requireInstallable(const Release& release, const Product* owner, bool reportErrors);
    void beginInstallation(const Release& release);
    QCoro::Task<InstallOutcome> runInstallation(const Release& release, const Product& owner, bool prepare);
    void endInstallation(const std::string& productID);
    void publishInstallation(const Release& release, const InstallOutcome& outcome, bool reportErrors);
    void showProgress(std::uint64_t installation, const std::string& productID, InstallActivity activity);
    void summarizeUpdateAll(const std::vector<Release>& updates, int installed,
                            const std::vector<std::string>& failures);

    // Runs `change` on the installer's worker for one catalogue product, then re-reads its state;
    // `exclusive` changes show the product as being updated and are skipped while busy. Shows the notice
    // `change` produced; a failure is reported and rethrown.
    QCoro::Task<> changeInstallation(std::string productID, bool exclusive, InstallationChange change);

    SequenceChecker sequence_;
    std::unique_ptr<ModelExecutor> executor_;
    Services services_;
    bool started_ = false;
    // The last error shown, so that launch() does not show it twice.
    std::exception_ptr reported_;

    // The running plugin installation, so that the user can cancel its download.
    std::optional<std::stop_source> installStop_;
    std::uint64_t installations_ = 0;
    bool userCancelledInstall_ = false;
    bool scanning_ = false;

    Phase phase_;
    std::shared_ptr<const Catalog> catalog_;
    ProductStates products_;
    bool updatingAll_ = false;
    std::optional<std::string> noticeMessage_;
    std::optional<std::string> errorMessage_;
    BackgroundServiceController::State backgroundServiceState_;
    std::optional<BackgroundAgentStatus> backgroundStatus_;
    std::optional<HubRelease> hubRelease_;
    std::optional<std::string> hubUpdateMessage_;
    bool checkingHubUpdate_ = false;
    bool refreshingCatalog_ = false;
    bool installingHubUpdate_ = false;
    bool signingIn_ = false;
    bool checkingInstallations_ = false;
    // The installation state has been read for the catalogue shown; forgotten with the catalogue.
    bool installationStateKnown_ = false;
    std::optional<Url> signInURL_;
    std::map<std::string, InstallActivity> installProgress_;
    std::string currentHubVersion_ = "0.0.0";

    // Last published computed values, so that their signals fire only on a change.
    bool publishedBusy_ = false;
    std::vector<std::string> publishedUpdates_;
};

}  // namespace halvex::app

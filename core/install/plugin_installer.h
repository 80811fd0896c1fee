#pragma once

// The one component that changes plugin folders: it downloads a release, proves it against the signed
// manifest, inspects its bundles, keeps it as a pending update while audio hosts run or swaps it in as one
// transaction, and records what it installed. It also answers questions about the installed state.
//
// Thread-safe: installations exclude each other (in this and other processes) through the update lock;
// read-only queries take no lock; the two replaceable helpers (host query, administrator prompt) are set
// and read under their own mutex, and a call already running keeps the helper it started with. Checks never
// modify anything but deleting an archive with a wrong digest.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/foundation/halvex_configuration.h"
#include "core/install/audio_application_monitor.h"
#include "core/install/installed_bundle_index.h"
#include "core/install/plugin_location.h"
#include "core/install/product_holds.h"
#include "core/service/catalog.h"
#include "core/trust/signed_metadata_verifier.h"

namespace halvex {

class APIClient;

// The maker's four-character Audio Unit manufacturer code.
inline constexpr const char* audioUnitManufacturerCode = "Hlvx";

class PluginInstaller {
  public:
    struct Folders {
        std::filesystem::path applicationSupport;
        std::filesystem::path pluginDirectory;     // VST3
        std::filesystem::path audioUnitDirectory;  // components
        std::filesystem::path clapDirectory;
        std::filesystem::path legacyVST3Directory;  // searched only with the managed VST3 folder
        bool usesManagedSystemDirectory = false;

        // The standard places; a given plugin directory puts Audio Units and CLAP bundles beside it.
        static Folders standard(const std::optional<std::filesystem::path>& applicationSupport = std::nullopt,
                                const std::optional<std::filesystem::path>& pluginDirectory = std::nullopt);
    };

    struct InstallResult {
        enum class Kind { installed, pendingRestart };
        Kind kind = Kind::installed;
        std::vector<std::string> runningHosts;  // for pendingRestart

        static InstallResult installed() { return {}; }
        static InstallResult pendingRestart(std::vector<std::string> hosts) {
            return {Kind::pendingRestart, std::move(hosts)};
        }
        bool operator==(const InstallResult&) const = default;
    };

    struct PendingUpdate {
        std::filesystem::path folder;
        Release release;
        std::optional<std::string> previousVersion;
    };

    // What a running installation is doing. Downloading reports the archive's bytes (resumed ones
    // included) as they arrive; the later steps report once each.
    struct Progress {
        enum class Step { downloading, verifying, installing };
        Step step = Step::downloading;
        std::int64_t bytesDone = 0;
        std::int64_t bytesTotal = 0;
        bool operator==(const Progress&) const = default;
    };
    // Called on the installing thread; must not throw.
    using ProgressHandler = std::function<void(const Progress&)>;

    PluginInstaller(HalvexConfiguration configuration, Folders folders);
    PluginInstaller(HalvexConfiguration configuration,
                    const std::optional<std::filesystem::path>& applicationSupport = std::nullopt,
                    const std::optional<std::filesystem::path>& pluginDirectory = std::nullopt);
    PluginInstaller(const PluginInstaller&) = delete;
    PluginInstaller& operator=(const PluginInstaller&) = delete;

    const HalvexConfiguration& configuration() const { return configuration_; }
    const Folders& folders() const { return folders_; }

    // Replaces the process scan for running hosts (tests, and callers that know better).
    void setAudioApplications(std::function<std::vector<std::string>()> query);
    // Replaces the administrator prompt that creates the shared VST3 folder.
    void setElevationRunner(HalvexPluginLocation::ElevationRunner runner);

    // Finishes or undoes installations, hub installations and pending-update saves that a crash cut short
    // (TransactionJournal), then removes the work files no transaction owns any more. Every operation that
    // takes the update lock does this first; callers run it at start. False when another update holds the
    // lock (that update recovers instead).
    bool recoverInterruptedWork();

    // Installation. Both take the update lock for their whole run.
    InstallResult downloadAndInstall(const Release& release, const APIClient& client,
                                     const SignedMetadataVerifier& verifier, bool allowDirectoryAuthorization,
                                     bool prepareWhileDAWRunning, std::stop_token stop = {},
                                     const ProgressHandler& progress = {});
    InstallResult install(const Release& release, const std::filesystem::path& archive,
                          const SignedMetadataVerifier& verifier, bool allowDirectoryAuthorization,
                          bool prepareWhileDAWRunning);

    // Running hosts and pending updates.
    std::vector<std::string> runningAudioApplications();
    static bool isSupportedAudioApplication(const std::string& bundleID);
    void savePending(const Release& release, const std::filesystem::path& archive) const;
    std::filesystem::path pendingDirectory(const Release& release) const;
    // Told about each pending folder whose record cannot be read or verified; that folder is skipped, so
    // one bad record never holds back the others.
    using UnreadablePending =
        std::function<void(const std::filesystem::path& folder, const std::exception& error)>;
    std::vector<PendingUpdate> pendingUpdates(const SignedMetadataVerifier& verifier,
                                              const UnreadablePending& onUnreadable = {}) const;
    std::map<std::string, std::string> pendingVersions(const SignedMetadataVerifier& verifier) const;
    // Installs the pending updates once no host runs; returns the names of the installed releases.
    std::vector<std::string> finishPendingUpdates(const SignedMetadataVerifier& verifier,
                                                  const std::string& hubVersion,
                                                  const UnreadablePending& onUnreadable = {});

    // Installed state (no lock).
    std::optional<std::string> installedVersion(const std::string& bundleID) const;
    std::optional<std::string> installedChannel(const std::string& bundleID,
                                                const SignedMetadataVerifier& verifier) const;
    bool isComplete(const Release& release) const;
    std::filesystem::path partialDownloadURL(const Release& release) const;
    std::filesystem::path receiptURL(const std::string& bundleID) const;

    // The rollback archive: what an installation replaced (or an uninstallation removed), and the record
    // of the release it came from.
    std::filesystem::path rollbackRecordURL(const std::string& bundleID) const;
    // The release recorded for the rollback archive, unverified; absent without a readable record.
    std::optional<Release> rollbackRelease(const std::string& bundleID) const;
    // Puts the archived version back as one transaction, after proving it again against its signed record
    // (seal, identity, architectures); the receipt then describes it, the product is held at its version,
    // and the bundles it replaced become the rollback archive. Takes the update lock; refuses while an
    // audio host runs (dawIsRunning) and without an archive (backgroundService).
    Release revert(const Product& product, const SignedMetadataVerifier& verifier,
                   bool allowDirectoryAuthorization);
    // Removes every format's bundle and the receipt as one transaction, keeping them as the rollback
    // archive; drops a pending update and the hold. Takes the update lock; refuses while an audio host
    // runs (dawIsRunning) and when nothing is installed (backgroundService).
    void uninstall(const Product& product);
    // The version revert would put back (as its record names it, not yet proven); absent without an
    // archive of this product.
    std::optional<std::string> revertibleVersion(const Product& product) const;
    // Holds an installed product at its installed version and returns that version; backgroundService
    // when nothing of it is installed. Takes the update lock, so the version held is the one on disk.
    std::string hold(const Product& product);
    // Ends the hold; automatic updates include the product again. Not an error when it is not held.
    void releaseHold(const Product& product);
    ProductHolds holds() const;

    // Release verification.
    static void verify(const Release& release, const SignedMetadataVerifier& verifier);
    // Lower-case hex SHA-256 of a file, read in 1 MiB pieces.
    static std::string sha256(const std::filesystem::path& file);
    // Size, then digest (`digest` when the caller hashed the archive while writing it); a wrong digest
    // deletes the archive. HalvexError::hashMismatch on either.
    static void verifyArchive(const std::filesystem::path& archive, const Release& release,
                              const std::optional<std::string>& digest = std::nullopt);
    // Expands a release ZIP into `destination`; failures are "Update tool failed: " + reason.
    static void expandArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);
    // Runs a tool and waits; a non-zero exit is "Update tool failed: " + its trimmed standard error.
    static void run(const std::filesystem::path& tool, const std::vector<std::string>& arguments);

    // Bundle inspection.
    static std::vector<std::filesystem::path> pluginBundles(const std::filesystem::path& below,
                                                            const std::string& extension);
    static bool vst3IdentityMatches(const std::filesystem::path& bundle, const Release& release);
    void verifyCodeSignature(const std::filesystem::path& bundle, const std::string& bundleID) const;
    void verifyAudioUnit(const std::filesystem::path& bundle, const AudioUnitIdentity& identity,
                         const Release& release, const std::optional<std::filesystem::path>& vst3) const;
    void verifyClap(const std::filesystem::path& bundle, const ClapIdentity& identity, const Release& release,
                    const std::optional<std::filesystem::path>& vst3) const;
    void verifyEmbeddedEngine(const std::filesystem::path& wrapper, const Release& release,
                              const std::optional<std::filesystem::path>& vst3) const;
    // The staged formats' full checks (seal, architectures, identities), each format on its own thread as
    // each hashes its whole bundle; the first failure in the order VST3, Audio Unit, CLAP is thrown.
    void verifyStagedBundles(const std::optional<std::filesystem::path>& vst3,
                             const std::optional<std::filesystem::path>& audioUnit,
                             const std::optional<std::filesystem::path>& clap, const Release& release) const;

    // Installed bundles by identifier; absent when nothing matches or a folder cannot be read.
    std::optional<std::filesystem::path> installedBundle(const std::string& bundleID) const;
    std::optional<std::filesystem::path> installedAudioUnit(const std::string& bundleID) const;
    std::optional<std::filesystem::path> installedClap(const std::string& bundleID) const;
    std::optional<std::filesystem::path> legacyInstalledBundle(const std::string& bundleID) const;

  private:
    void recoverUnlocked() const;
    // `swapping` is told when the bundles are about to be swapped in; `digest` is the archive's SHA-256
    // when the download already computed it.
    InstallResult installUnlocked(const Release& release, const std::filesystem::path& archive,
                                  const SignedMetadataVerifier& verifier, bool allowDirectoryAuthorization,
                                  bool prepareWhileDAWRunning, const std::function<void()>& swapping = {},
                                  const std::optional<std::string>& digest = std::nullopt);
    void ensureManagedDirectory(bool allowAuthorization) const;
    // The receipt's text when it describes the installed bundles.
    std::optional<std::string> currentReceiptRecord(const std::string& bundleID) const;
    // The checks run on each bundle right after it was swapped in.
    void verifyInstalledBundle(const std::filesystem::path& installed, const Release& release,
                               const std::optional<std::filesystem::path>& vst3) const;

    HalvexConfiguration configuration_;
    Folders folders_;
    InstalledBundleIndex bundleIndex_;
    struct VerifiedReceipt {
        platform::FileStamp stamp;
        std::string verifierKey;
        std::string version;
        std::string channel;
    };
    mutable std::mutex receiptsMutex_;
    mutable std::map<std::string, VerifiedReceipt> verifiedReceipts_;
    mutable std::mutex hostsMutex_;  // the monitor and both replaceable helpers
    AudioApplicationMonitor monitor_;
    std::function<std::vector<std::string>()> audioApplications_;
    HalvexPluginLocation::ElevationRunner elevate_ = HalvexPluginLocation::pkexecRunner();
};

}  // namespace halvex

#pragma once

// The hub's self-update: finds a newer hub release, prepares it (signed metadata, download, digest, the one
// application in the image, its identity, seal and architectures) under a ticket, and installs a prepared
// update in place of the installed application with a rollback copy and an archive of the old version.
//
// The "disk image" is a ZIP holding the application bundle; mounting expands it into a hidden folder
// beside the download and detaching removes that folder. State is fixed at construction; operations may run
// on any thread. Installation holds the update lock.

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/service/api_client.h"
#include "core/service/hub_release.h"
#include "core/trust/signed_metadata_verifier.h"
#include "platform/standard_folders.h"

namespace halvex {

class HubUpdater {
  public:
    struct Options {
        std::optional<std::filesystem::path> applicationSupport;  // default: the installer's folder
        std::optional<std::filesystem::path> applicationURL;      // default: the running bundle
        std::optional<std::string> currentVersion;  // default: the bundle's version, else "0.0.0"
        std::filesystem::path applicationsFolder = platform::standardFolders().applications;
        // The executable's mode arguments: a process of the hub holding one of them is no window.
        std::vector<std::string> modeArguments;
        // Whether a window of the hub (another process) is open; default: a look at running processes.
        std::function<bool()> isHubUIRunning;
        // Fault injection for tests: runs right after the new bundle was put in place, before its check.
        std::function<void(const std::filesystem::path& installed)> afterReplace;
    };

    struct Result {
        enum class Kind { installed, deferred, current };
        Kind kind = Kind::current;
        std::string text;  // the installed version, or the reason for deferring
        bool operator==(const Result&) const = default;
    };

    HubUpdater(HalvexConfiguration configuration, APIClient client, SignedMetadataVerifier verifier,
               Options options);

    const std::string& currentVersion() const { return currentVersion_; }
    const std::filesystem::path& applicationURL() const { return applicationURL_; }
    const std::filesystem::path& applicationSupport() const { return applicationSupport_; }

    Result checkAndInstallIfAvailable(std::stop_token stop = {});
    std::optional<HubRelease> availableRelease(std::stop_token stop = {});
    // Returns the ticket of the prepared update; nothing of a failed preparation stays on disk.
    std::string prepare(const HubRelease& release, std::stop_token stop = {});
    void validatePrepared(const std::string& ticket) const;
    void installPrepared(const std::string& ticket);
    // Settles transactions a crash cut short (see PluginInstaller::recoverInterruptedWork) and removes
    // hidden bundles beside the application. False when another update holds the lock.
    bool recoverInterruptedWork() const;
    void discardPrepared(const std::string& ticket) const;

    std::filesystem::path preparedDirectory(const std::string& ticket) const;
    void validateDestination() const;
    void verifyApplication(const std::filesystem::path& bundle, const std::string& version,
                           const std::optional<std::vector<std::string>>& architectures) const;
    static Manifest verify(const HubRelease& release, const SignedMetadataVerifier& verifier);
    // A canonical upper-case UUID.
    static bool isValidTicket(const std::string& ticket);
    // Running processes of `executable` other than this one whose arguments hold none of `modeArguments`.
    static bool windowProcessRunning(const std::filesystem::path& executable,
                                     const std::vector<std::string>& modeArguments);

  private:
    // Settles journalled transactions a crash cut short and removes hidden bundles beside the application.
    void recoverUnlocked() const;
    void install(const std::filesystem::path& newBundle, const std::string& previousVersion) const;
    void archiveRollback(const std::filesystem::path& bundle, const std::string& version) const;
    bool isHubUIRunning() const;
    bool isInApplicationsFolder() const;

    HalvexConfiguration configuration_;
    APIClient client_;
    SignedMetadataVerifier verifier_;
    std::filesystem::path applicationSupport_;
    std::filesystem::path applicationURL_;
    std::string currentVersion_;
    std::filesystem::path applicationsFolder_;
    std::vector<std::string> modeArguments_;
    std::function<bool()> isHubUIRunning_;
    std::function<void(const std::filesystem::path&)> afterReplace_;
};

}  // namespace halvex

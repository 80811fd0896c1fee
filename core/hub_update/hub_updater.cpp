#include "core/hub_update/hub_updater.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "core/foundation/bundle.h"
#include "core/foundation/halvex_error.h"
#include "core/foundation/semantic_version.h"
#include "core/install/plugin_installer.h"
#include "core/install/recovery_folders.h"
#include "core/install/rollback_archive.h"
#include "core/install/transaction_journal.h"
#include "core/install/update_lock.h"
#include "core/trust/bundle_architecture_verifier.h"
#include "core/trust/plugin_bundle_info.h"
#include "platform/bundle_seal.h"
#include "platform/fault_injection.h"
#include "platform/file_io.h"
#include "platform/process_list.h"
#include "platform/running_bundle.h"
#include "platform/sha256.h"
#include "platform/system_info.h"
#include "platform/work_names.h"
#include "platform/zip_archive.h"

namespace halvex {

namespace {

constexpr const char* hubIdentifier = "com.halvex.hub";
constexpr std::size_t maximumReleaseRecordBytes = 1024 * 1024;
// A hub image holds one application; far fewer entries and bytes than a plugin archive may.
constexpr platform::ExpansionLimits imageLimits{50'000, 4ULL * 1024 * 1024 * 1024};

std::filesystem::path standardized(const std::filesystem::path& path) {
    auto normal = path.lexically_normal();
    return normal.has_filename() ? normal : normal.parent_path();
}

// The expanded image, removed ("detached") on every way out.
class MountedImage {
  public:
    MountedImage(const std::filesystem::path& image, const std::filesystem::path& folder)
        : point_(folder / (".image-" + platform::randomUUID())) {
        try {
            platform::expandZip(image, point_.path(), imageLimits);
        } catch (const std::exception&) {
            throw HalvexError::invalidPackage("The Hub disk image could not be mounted.");
        }
    }

    const std::filesystem::path& point() const { return point_.path(); }

  private:
    platform::ScopedFolder point_;
};

}  // namespace

HubUpdater::HubUpdater(HalvexConfiguration configuration, APIClient client, SignedMetadataVerifier verifier,
                       Options options)
    : configuration_(std::move(configuration)),
      client_(std::move(client)),
      verifier_(std::move(verifier)),
      applicationSupport_(options.applicationSupport.value_or(platform::standardFolders().installerData)),
      applicationURL_(options.applicationURL.value_or(
          platform::runningBundlePath().value_or(platform::runningExecutablePath().parent_path()))),
      currentVersion_(options.currentVersion.value_or(
          Bundle::atPath(applicationURL_).infoString("CFBundleShortVersionString").value_or("0.0.0"))),
      applicationsFolder_(std::move(options.applicationsFolder)),
      modeArguments_(std::move(options.modeArguments)),
      isHubUIRunning_(std::move(options.isHubUIRunning)),
      afterReplace_(std::move(options.afterReplace)) {}

bool HubUpdater::isInApplicationsFolder() const {
    return applicationURL_.extension() == ".app" &&
           standardized(applicationURL_).parent_path() == standardized(applicationsFolder_);
}

void HubUpdater::validateDestination() const {
    if (!isInApplicationsFolder())
        throw HalvexError::invalidPackage("Move HALVEX HUB to Applications before updating it.");
}

Manifest HubUpdater::verify(const HubRelease& release, const SignedMetadataVerifier& verifier) {
    const auto manifest = json::decodeRecord<Manifest>(verifier.verifyReleaseManifest(release.manifest));
    const bool matches = manifest.describes(release) && manifest.productID == "halvex-hub" &&
                         manifest.bundleID == hubIdentifier;
    if (!matches) throw HalvexError::invalidPackage("The signed Hub metadata does not match the release.");
    return manifest;
}

bool HubUpdater::isValidTicket(const std::string& ticket) {
    if (ticket.size() != 36) return false;
    for (std::size_t index = 0; index < ticket.size(); ++index) {
        const char c = ticket[index];
        if (index == 8 || index == 13 || index == 18 || index == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::filesystem::path HubUpdater::preparedDirectory(const std::string& ticket) const {
    if (!isValidTicket(ticket)) throw HalvexError::invalidPackage("Invalid HUB update request.");
    return applicationSupport_ / "HubUpdates" / ticket;
}

void HubUpdater::verifyApplication(const std::filesystem::path& bundle, const std::string& version,
                                   const std::optional<std::vector<std::string>>& architectures) const {
    const auto info = PluginBundleInfo::read(bundle);
    if (!info || info->identifier != hubIdentifier || info->version != version) {
        throw HalvexError::invalidPackage("The Hub application identity or version is invalid.");
    }
    const platform::SealRequirement requirement{configuration_.signingTeamID, hubIdentifier,
                                                configuration_.codeSigningAnchorsPEM};
    if (!platform::bundleSatisfies(bundle, requirement)) throw HalvexError::signatureRejected();
    if (architectures) BundleArchitectureVerifier::verify(bundle, *architectures);
}

std::optional<HubRelease> HubUpdater::availableRelease(std::stop_token stop) {
    auto release = client_.latestHubRelease(stop);
    verify(release, verifier_);
    if (!SemanticVersion::isNewer(release.version, currentVersion_)) return std::nullopt;
    return release;
}

std::string HubUpdater::prepare(const HubRelease& release, std::stop_token stop) {
    validateDestination();
    const auto manifest = verify(release, verifier_);
    if (!SemanticVersion::isNewer(release.version, currentVersion_)) {
        throw HalvexError::invalidPackage("This HUB update is no longer newer than the installed version.");
    }
    if (minimumSystemVersionExceeds(manifest.minimumOS, platform::systemVersion())) {
        throw HalvexError::invalidPackage("HALVEX HUB " + release.version + " requires macOS " +
                                          manifest.minimumOS + " or later.");
    }
    const auto ticket = platform::randomUUID();
    const auto directory = preparedDirectory(ticket);
    platform::createDirectories(directory.parent_path(), 0700);
    platform::WorkItems preparation;  // kept once the ticket is complete
    preparation.add(directory);
    platform::createDirectory(directory, 0700);
    {
        const auto image = directory / "update.dmg";
        client_.download(release, image, stop);
        if (platform::sha256HexOfFile(image) != manifest.sha256) throw HalvexError::hashMismatch();
        {
            const MountedImage mounted(image, directory);
            std::vector<std::filesystem::path> applications;
            for (const auto& name : platform::directoryEntries(mounted.point())) {
                const auto path = mounted.point() / name;
                if (!name.starts_with(".") && path.extension() == ".app") applications.push_back(path);
            }
            if (applications.size() != 1) {
                throw HalvexError::invalidPackage("A HUB update must contain exactly one application.");
            }
            verifyApplication(applications.front(), release.version, manifest.architectures);
            platform::copyTree(applications.front(), directory / "Update.app");
            platform::writeFileAtomically(directory / "release.json", release.encode().dump(), 0600);
            platform::removeTree(image);
        }
    }
    preparation.keep();
    return ticket;
}

void HubUpdater::validatePrepared(const std::string& ticket) const {
    validateDestination();
    const auto directory = preparedDirectory(ticket);
    const auto release = json::decodeRecord<HubRelease>(
        platform::readFile(directory / "release.json", maximumReleaseRecordBytes));
    const auto manifest = verify(release, verifier_);
    if (!SemanticVersion::isNewer(release.version, currentVersion_)) {
        throw HalvexError::invalidPackage("The prepared HUB update is no longer needed.");
    }
    verifyApplication(directory / "Update.app", release.version, manifest.architectures);
}

void HubUpdater::discardPrepared(const std::string& ticket) const {
    if (!isValidTicket(ticket)) return;
    platform::removeTreeQuietly(preparedDirectory(ticket));
}

void HubUpdater::installPrepared(const std::string& ticket) {
    const UpdateLock lock(applicationSupport_);
    recoverUnlocked();
    if (isHubUIRunning())
        throw HalvexError::backgroundService("Close HALVEX HUB before installing its update.");
    validatePrepared(ticket);
    install(preparedDirectory(ticket) / "Update.app", currentVersion_);
}

void HubUpdater::install(const std::filesystem::path& newBundle, const std::string& previousVersion) const {
    const auto info = PluginBundleInfo::read(newBundle);
    if (!info) throw HalvexError::invalidPackage("The Hub application metadata is invalid.");
    const auto folder = applicationURL_.parent_path();
    const auto staged = platform::work::hiddenName(folder, platform::work::hubUpdate, ".app");
    const auto rollback = platform::work::hiddenName(folder, platform::work::hubRollback, ".app");
    platform::WorkItems copies;  // until the journal owns them
    copies.add(staged);
    copies.add(rollback);
    platform::copyTree(newBundle, staged, platform::Durability::deferred);
    verifyApplication(staged, info->version, std::nullopt);
    platform::copyTree(applicationURL_, rollback, platform::Durability::deferred);
    verifyApplication(rollback, previousVersion, std::nullopt);
    archiveRollback(applicationURL_, previousVersion);

    // The replaced bundle waits under the staged copy's name (where the exchange leaves it); the rollback
    // copy is the journal's scratch. Recovery tells the bundles apart by inode.
    auto transaction =
        TransactionJournal::begin(applicationSupport_, "hub-install",
                                  {{applicationURL_,
                                    staged,
                                    platform::work::hiddenName(folder, platform::work::hubRollback, ".app"),
                                    {rollback}}});
    copies.keep();
    transaction.swapInAll("The HUB update", [&](std::size_t) {
        if (afterReplace_) afterReplace_(applicationURL_);
        verifyApplication(applicationURL_, info->version, std::nullopt);
    });
}

void HubUpdater::archiveRollback(const std::filesystem::path& bundle, const std::string& version) const {
    if (!platform::itemExists(bundle)) return;
    const auto folder = applicationSupport_ / "Rollback" / "Hub";
    platform::createDirectories(folder, 0700);
    writeRollbackArchive(bundle, folder / ("HALVEX-HUB-" + version + "-macOS.zip"));
}

bool HubUpdater::recoverInterruptedWork() const {
    try {
        const UpdateLock lock(applicationSupport_);
        recoverUnlocked();
        return true;
    } catch (const HalvexError& error) {
        if (!error.is(HalvexError::Case::updateInProgress)) throw;
        return false;
    }
}

void HubUpdater::recoverUnlocked() const {
    TransactionJournal::recoverAll(applicationSupport_,
                                   recoveryScope({applicationSupport_, applicationURL_.parent_path()}));
    removeAbandonedTemporaryFiles(applicationSupport_);
    platform::work::sweep(applicationURL_.parent_path(), platform::work::swapPrefixes);
    platform::work::sweepHidden(applicationSupport_ / "Rollback" / "Hub");
}

bool HubUpdater::isHubUIRunning() const {
    if (isHubUIRunning_) return isHubUIRunning_();
    return windowProcessRunning(applicationURL_ / "Contents" / "MacOS" / "HalvexHub", modeArguments_);
}

bool HubUpdater::windowProcessRunning(const std::filesystem::path& executable,
                                      const std::vector<std::string>& modeArguments) {
    // Processes name their executables by the resolved path; one that cannot be resolved is compared as is.
    const auto target = [&] {
        try {
            return platform::canonicalPath(executable);
        } catch (const std::system_error&) {
            return executable;
        }
    }();
    const auto self = platform::currentProcessID();
    for (const auto pid : platform::listProcessIDs(std::numeric_limits<std::size_t>::max())) {
        if (pid == self || platform::isZombie(pid) || platform::processExecutable(pid) != target) continue;
        const auto arguments = platform::processArguments(pid);
        const bool modeProcess =
            std::any_of(arguments.begin(), arguments.end(), [&](const std::string& argument) {
                return std::find(modeArguments.begin(), modeArguments.end(), argument) != modeArguments.end();
            });
        if (!modeProcess) return true;
    }
    return false;
}

HubUpdater::Result HubUpdater::checkAndInstallIfAvailable(std::stop_token stop) {
    const auto release = client_.latestHubRelease(stop);
    if (!SemanticVersion::isNewer(release.version, currentVersion_)) return {Result::Kind::current, {}};
    if (!isInApplicationsFolder()) {
        return {Result::Kind::deferred, "Move HALVEX HUB to Applications to enable automatic HUB updates."};
    }
    if (isHubUIRunning()) {
        return {Result::Kind::deferred, "The HUB update will install after the HALVEX HUB window is closed."};
    }
    const auto ticket = prepare(release, stop);
    try {
        installPrepared(ticket);
    } catch (...) {
        discardPrepared(ticket);
        throw;
    }
    discardPrepared(ticket);
    return {Result::Kind::installed, release.version};
}

}  // namespace halvex

#include "app/library/library_service.h"

#include "app/process_mode.h"
#include "core/foundation/bundle.h"
#include "platform/process_environment.h"

namespace halvex::app {

namespace {

LibraryService::Environment withDefaults(LibraryService::Environment environment) {
    if (!environment.configuration) {
        environment.configuration = [] {
            return HalvexConfiguration::bundled(Bundle::main(), platform::currentEnvironment());
        };
    }
    if (!environment.keychain) environment.keychain = [] { return KeychainStore("com.halvex.hub"); };
    if (!environment.pluginFolders)
        environment.pluginFolders = [] { return PluginInstaller::Folders::standard(); };
    if (!environment.hubOptions) {
        environment.hubOptions = [] {
            HubUpdater::Options options;
            options.modeArguments = modeArguments();
            return options;
        };
    }
    if (!environment.hubVersion) {
        environment.hubVersion = Bundle::main().infoString("CFBundleShortVersionString").value_or("0.0.0");
    }
    return environment;
}

std::unique_ptr<PluginInstaller> makeInstaller(const HalvexConfiguration& configuration,
                                               const LibraryService::Environment& environment) {
    auto installer = std::make_unique<PluginInstaller>(configuration, environment.pluginFolders());
    if (environment.audioApplications) installer->setAudioApplications(environment.audioApplications);
    if (environment.elevationRunner) installer->setElevationRunner(*environment.elevationRunner);
    return installer;
}

}  // namespace

LibraryService::LibraryService(Environment environment)
    : LibraryService(withDefaults(std::move(environment)), nullptr) {}

LibraryService::LibraryService(Environment environment, std::nullptr_t)
    : configuration_(environment.configuration()),
      client_(configuration_, environment.keychain(), environment.timeouts.value_or(APIClient::Timeouts{})),
      verifier_(SignedMetadataVerifier::fromPEM(configuration_.releasePublicKeyPEM)),
      installer_(makeInstaller(configuration_, environment)),
      hubUpdater_(std::make_unique<HubUpdater>(
          configuration_, client_, SignedMetadataVerifier::fromPEM(configuration_.releasePublicKeyPEM),
          environment.hubOptions())),
      hubVersion_(*environment.hubVersion) {}

bool LibraryService::recoverInterruptedWork() {
    const bool plugins = installer_->recoverInterruptedWork();
    const bool hub = hubUpdater_->recoverInterruptedWork();
    return plugins && hub;
}

std::map<std::string, std::string> LibraryService::pendingVersions() const {
    try {
        return installer_->pendingVersions(verifier_);
    } catch (const std::exception&) {
        // An unreadable pending folder counts as nothing staged; the installer skips it the same way, and
        // the agent's staged loop reports it.
        return {};
    }
}

ProductStates LibraryService::scan(const Catalog& catalog, bool finishPendingFirst) {
    if (finishPendingFirst) {
        try {
            installer_->finishPendingUpdates(verifier_, hubVersion_);
        } catch (const std::exception&) {
            // A staged update that cannot finish stays staged; the next scan tries again.
        }
    }
    const auto holds = installer_->holds();
    const auto pending = pendingVersions();
    ProductStates states;
    for (const auto& product : catalog.products)
        states[product.productID] = scan(catalog, product, holds, pending);
    return states;
}

ProductState LibraryService::scan(const Catalog& catalog, const Product& product) const {
    return scan(catalog, product, installer_->holds(), pendingVersions());
}

ProductState LibraryService::scan(const Catalog& catalog, const Product& product, const ProductHolds& holds,
                                  const std::map<std::string, std::string>& pending) const {
    ProductState state;
    state.installedVersion = installer_->installedVersion(product.bundleID);
    state.installedChannel = installer_->installedChannel(product.bundleID, verifier_);
    const auto update = catalog.updateRelease(product, state.installedVersion, state.installedChannel);
    state.incomplete =
        update && state.installedVersion == update->version && !installer_->isComplete(*update);
    if (const auto staged = pending.find(product.productID); staged != pending.end())
        state.pendingVersion = staged->second;
    // A hold whose record cannot be read still holds, at the installed version as far as anyone can tell.
    if (holds.isHeld(product.productID))
        state.heldVersion =
            holds.heldVersion(product.productID).value_or(state.installedVersion.value_or(""));
    state.revertVersion = installer_->revertibleVersion(product);
    return state;
}

PluginInstaller::InstallResult LibraryService::install(const Catalog& catalog, const Product& product,
                                                       const Release& release,
                                                       bool allowDirectoryAuthorization,
                                                       bool prepareWhileDAWRunning, std::stop_token stop,
                                                       const PluginInstaller::ProgressHandler& progress) {
    requireInstallable(&product, scan(catalog, product), release, hubVersion_);
    return installer_->downloadAndInstall(release, client_, verifier_, allowDirectoryAuthorization,
                                          prepareWhileDAWRunning, std::move(stop), progress);
}

Release LibraryService::revert(const Product& product, bool allowDirectoryAuthorization) {
    return installer_->revert(product, verifier_, allowDirectoryAuthorization);
}

std::string LibraryService::hold(const Product& product) {
    return installer_->hold(product);
}

bool LibraryService::releaseHold(const Product& product) {
    if (!installer_->holds().isHeld(product.productID)) return false;
    installer_->releaseHold(product);
    return true;
}

void LibraryService::uninstall(const Product& product) {
    installer_->uninstall(product);
}

}  // namespace halvex::app

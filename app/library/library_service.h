#pragma once

// The library as every front end uses it (the window's model, halvexctl, the background agent): the core
// objects built once for a bundle and its environment (configuration, service client, signed-metadata
// verifier, plugin installer, hub updater), the scan that fills each product's ProductState, and the
// operations that change what is installed, each checked by the shared product rules (product_rules.h)
// before it runs. Front ends only turn its results into their own form: properties and signals, lines and
// JSON, status records.
//
// Threads: the service keeps nothing that changes after construction; its core objects are safe to use
// from several threads at once (installations exclude each other, in this and other processes, through
// the update lock; the client keeps no request state), so a front end may run its calls on whichever
// threads it likes, as the window's model runs each core object's work on a worker of its own. Build and
// destroy it on one thread while no call runs.
//
// Cancellation: a triggered stop token ends waits on the network (catalogue, downloads, sign-in polling)
// with OperationCancelled; a partial download stays for the next attempt. It does not interrupt a swap
// that has begun (that runs to its end or its rollback), a revert, a hold or an uninstallation.

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/library/product_rules.h"
#include "app/library/product_state.h"
#include "core/foundation/halvex_configuration.h"
#include "core/hub_update/hub_updater.h"
#include "core/install/plugin_installer.h"
#include "core/service/api_client.h"
#include "core/service/catalog.h"
#include "core/service/keychain_store.h"
#include "core/trust/signed_metadata_verifier.h"

namespace halvex::app {

class LibraryService {
  public:
    // Where the core objects come from. Every absent part takes the running bundle's default.
    struct Environment {
        std::function<HalvexConfiguration()> configuration;  // the bundle's Info.plist and the environment
        std::function<KeychainStore()> keychain;             // "com.halvex.hub" in the user's store
        std::optional<APIClient::Timeouts> timeouts;         // the client's defaults
        std::function<PluginInstaller::Folders()> pluginFolders;  // the standard folders
        std::function<HubUpdater::Options()> hubOptions;          // the running bundle, its mode arguments
        std::function<std::vector<std::string>()> audioApplications;           // the process scan
        std::optional<HalvexPluginLocation::ElevationRunner> elevationRunner;  // the administrator prompt
        std::optional<std::string> hubVersion;                                 // the bundle's version
    };

    // Throws what building the configuration or the verifier throws (HalvexError::configuration).
    explicit LibraryService(Environment environment = {});
    LibraryService(const LibraryService&) = delete;
    LibraryService& operator=(const LibraryService&) = delete;

    const HalvexConfiguration& configuration() const { return configuration_; }
    const APIClient& client() const { return client_; }
    const SignedMetadataVerifier& verifier() const { return verifier_; }
    PluginInstaller& installer() { return *installer_; }
    const PluginInstaller& installer() const { return *installer_; }
    HubUpdater& hubUpdater() { return *hubUpdater_; }
    const std::string& hubVersion() const { return hubVersion_; }

    // Settles what a crash cut short (plugin transactions, then the hub's). False when another update
    // holds the lock and settles it instead.
    bool recoverInterruptedWork();

    // What this computer holds of every product of `catalog`. With `finishPendingFirst`, staged updates
    // whose hosts have quit are installed first (one that cannot finish stays staged). Reads only.
    ProductStates scan(const Catalog& catalog, bool finishPendingFirst = false);
    // The same for one product.
    ProductState scan(const Catalog& catalog, const Product& product) const;

    // Installs `release` of `product` once the rules allow it (requireInstallable), keeping it staged while
    // audio hosts run when `prepareWhileDAWRunning`. The installer's errors as they are.
    PluginInstaller::InstallResult install(const Catalog& catalog, const Product& product,
                                           const Release& release, bool allowDirectoryAuthorization,
                                           bool prepareWhileDAWRunning, std::stop_token stop = {},
                                           const PluginInstaller::ProgressHandler& progress = {});
    // The installer's operations on one product, with its refusals ("No earlier version of … is kept on
    // this computer.", "… is not installed.").
    Release revert(const Product& product, bool allowDirectoryAuthorization);
    std::string hold(const Product& product);
    // False when the product was not held.
    bool releaseHold(const Product& product);
    void uninstall(const Product& product);

  private:
    LibraryService(Environment complete, std::nullptr_t);
    ProductState scan(const Catalog& catalog, const Product& product, const ProductHolds& holds,
                      const std::map<std::string, std::string>& pending) const;
    std::map<std::string, std::string> pendingVersions() const;

    HalvexConfiguration configuration_;
    APIClient client_;
    SignedMetadataVerifier verifier_;
    std::unique_ptr<PluginInstaller> installer_;
    std::unique_ptr<HubUpdater> hubUpdater_;
    std::string hubVersion_;
};

}  // namespace halvex::app

// HalvexCtl: the commands that change what is installed, by the library's rules and with its messages.

#include <algorithm>
#include <ostream>

#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "ctl/ctl_failure.h"
#include "ctl/download_progress.h"
#include "ctl/halvex_ctl.h"

namespace halvex::ctl {

PluginInstaller::InstallResult HalvexCtl::installWithProgress(const Product& product,
                                                              const Release& release) {
    DownloadProgress progress(raw_.out, escapedForTerminal(release.name + " " + release.version),
                              output_.terminal);
    return library().install(
        catalog(), product, release, true, true, stop_,
        [&progress](const PluginInstaller::Progress& update) { progress.report(update); });
}

ExitCode HalvexCtl::install(const CtlCommand& command) {
    const auto& product = resolveProduct(*command.product);
    app::requireMayInstall(&product, library().scan(catalog(), product));
    const auto release =
        command.test ? catalog().testRelease(product) : catalog().installableRelease(product);
    if (!release) {
        throw HalvexError::backgroundService(command.test
                                                 ? "There is no test build of " + product.name + " for you."
                                                 : product.name + " has no release to install.");
    }
    const auto result = installWithProgress(product, *release);
    if (result.kind == PluginInstaller::InstallResult::Kind::pendingRestart) {
        output_.out << app::stagedUpdateNotice(*release, result.runningHosts) << "\n";
        return ExitCode::waitingForHost;
    }
    output_.out << "Installed " << release->name << " " << release->version << ".\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::updateAll() {
    const auto& current = catalog();
    const auto updates = app::offeredUpdates(current, library().scan(current));
    if (updates.empty()) {
        output_.out << "Every installed plugin is up to date.\n";
        return ExitCode::done;
    }

    int installed = 0;
    bool signedOut = false;
    std::vector<std::string> failures;
    for (const auto& update : updates) {
        const auto& product = resolveProduct(update.productID);
        try {
            installWithProgress(product, update);
            ++installed;
        } catch (const HalvexError& error) {
            failures.push_back(update.name + ": " + error.errorDescription());
            if (error.is(HalvexError::Case::server) && error.status() == 401) {
                signedOut = true;
                break;
            }
        } catch (const OperationCancelled&) {
            throw;
        } catch (const std::exception& error) {
            failures.push_back(update.name + ": " + error.what());
        }
    }

    const auto states = library().scan(current);
    const auto staged = std::count_if(updates.begin(), updates.end(), [&](const Release& update) {
        return app::stateOf(states, update.productID).pendingVersion.has_value();
    });
    output_.out << app::updateAllSummary(installed, static_cast<int>(staged)) << "\n";
    for (const auto& failure : failures) output_.err << failure << "\n";
    if (signedOut) return ExitCode::notSignedIn;
    if (!failures.empty()) return ExitCode::failed;
    return staged > 0 ? ExitCode::waitingForHost : ExitCode::done;
}

ExitCode HalvexCtl::revert(const Product& product) {
    const auto reverted = library().revert(product, true);
    output_.out << "Reverted " << product.name << " to " << reverted.version << ". It is held at "
                << reverted.version << " until `halvexctl release " << product.productID << "`.\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::uninstall(const Product& product) {
    library().uninstall(product);
    output_.out << "Uninstalled " << product.name << ". `halvexctl revert " << product.productID
                << "` brings it back.\n";
    return ExitCode::done;
}

}  // namespace halvex::ctl

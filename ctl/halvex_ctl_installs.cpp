// HalvexCtl: the commands that change what is installed, with the window's rules and messages.

#include <algorithm>
#include <ostream>
#include <set>

#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"
#include "core/foundation/semantic_version.h"
#include "core/service/network_error.h"
#include "ctl/ctl_failure.h"
#include "ctl/download_progress.h"
#include "ctl/halvex_ctl.h"

namespace halvex::ctl {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return text;
}

// The hosts to restart, as the window names them: helper engines left out, "your DAW" when none remain.
std::string hostText(const std::vector<std::string>& names) {
    std::set<std::string> hosts;
    for (const auto& name : names) {
        if (lowered(name).find("engine") == std::string::npos) hosts.insert(name);
    }
    if (hosts.empty()) return "your DAW";
    std::string text;
    for (const auto& host : hosts) text += (text.empty() ? "" : " and ") + host;
    return text;
}

void requireInstallable(const Release& release, const std::string& hubVersion) {
    if (SemanticVersion::isNewer(release.minimumHubVersion, hubVersion)) {
        throw HalvexError::backgroundService("Update HALVEX HUB before installing " + release.name + " " +
                                             release.version + ".");
    }
}

}  // namespace

PluginInstaller::InstallResult HalvexCtl::installWithProgress(const Release& release) {
    auto& current = session();
    DownloadProgress progress(raw_.out, escapedForTerminal(release.name + " " + release.version),
                              output_.terminal);
    return current.installer.downloadAndInstall(
        release, current.client, current.verifier, true, true, stop_,
        [&progress](const PluginInstaller::Progress& update) { progress.report(update); });
}

ExitCode HalvexCtl::install(const CtlCommand& command) {
    const auto& product = resolveProduct(*command.product);
    auto& current = session();
    if (!product.owned) throw HalvexError::backgroundService("Purchase this plugin before installing it.");
    if (const auto held = current.installer.holds().heldVersion(product.productID);
        current.installer.holds().isHeld(product.productID)) {
        throw HalvexError::backgroundService(product.name + " is held at " +
                                             held.value_or("its installed version") +
                                             ". Release the hold to install another version.");
    }
    const auto release =
        command.test ? catalog().testRelease(product) : catalog().installableRelease(product);
    if (!release) {
        throw HalvexError::backgroundService(command.test
                                                 ? "There is no test build of " + product.name + " for you."
                                                 : product.name + " has no release to install.");
    }
    requireInstallable(*release, current.hubVersion);
    const auto result = installWithProgress(*release);
    if (result.kind == PluginInstaller::InstallResult::Kind::pendingRestart) {
        output_.out << release->name << " " << release->version << " is downloaded and verified. Restart "
                    << hostText(result.runningHosts) << " to finish the update and use the latest version.\n";
        return ExitCode::waitingForHost;
    }
    output_.out << "Installed " << release->name << " " << release->version << ".\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::updateAll() {
    auto& current = session();
    std::map<std::string, std::string> pending;
    try {
        pending = current.installer.pendingVersions(current.verifier);
    } catch (const std::exception&) {
        // Treated as nothing staged, as the window does.
    }
    const auto holds = current.installer.holds();
    std::vector<Release> updates;
    for (const auto& product : catalog().products) {
        if (holds.isHeld(product.productID) || pending.contains(product.productID)) continue;
        if (auto update = availableUpdate(product)) updates.push_back(std::move(*update));
    }
    if (updates.empty()) {
        output_.out << "Every installed plugin is up to date.\n";
        return ExitCode::done;
    }

    int installed = 0;
    bool signedOut = false;
    std::vector<std::string> failures;
    for (const auto& update : updates) {
        try {
            requireInstallable(update, current.hubVersion);
            installWithProgress(update);
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

    try {
        pending = current.installer.pendingVersions(current.verifier);
    } catch (const std::exception&) {
        pending.clear();
    }
    const auto staged = std::count_if(updates.begin(), updates.end(), [&](const Release& update) {
        return pending.contains(update.productID);
    });
    if (staged == 0) {
        output_.out << installed << " plugin updates installed.\n";
    } else {
        output_.out << staged << " " << (staged == 1 ? "update" : "updates")
                    << " downloaded and verified. Close your DAW to finish installing.\n";
    }
    for (const auto& failure : failures) output_.err << failure << "\n";
    if (signedOut) return ExitCode::notSignedIn;
    if (!failures.empty()) return ExitCode::failed;
    return staged > 0 ? ExitCode::waitingForHost : ExitCode::done;
}

ExitCode HalvexCtl::revert(const Product& product) {
    auto& current = session();
    const auto reverted = current.installer.revert(product, current.verifier, true);
    output_.out << "Reverted " << product.name << " to " << reverted.version << ". It is held at "
                << reverted.version << " until `halvexctl release " << product.productID << "`.\n";
    return ExitCode::done;
}

ExitCode HalvexCtl::uninstall(const Product& product) {
    session().installer.uninstall(product);
    output_.out << "Uninstalled " << product.name << ". `halvexctl revert " << product.productID
                << "` brings it back.\n";
    return ExitCode::done;
}

}  // namespace halvex::ctl

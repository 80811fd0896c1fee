#include "app/background_agent.h"

#include <thread>

#include "app/background_service_controller.h"
#include "app/process_mode.h"
#include "core/foundation/bundle.h"
#include "core/foundation/halvex_error.h"
#include "core/foundation/interruptible_sleep.h"
#include "core/foundation/operation_cancelled.h"
#include "core/foundation/semantic_version.h"
#include "core/service/network_error.h"

namespace halvex::app {

namespace {

bool isExpectedCondition(const std::exception& error) {
    const auto* halvexError = dynamic_cast<const HalvexError*>(&error);
    return halvexError != nullptr && (halvexError->is(HalvexError::Case::dawIsRunning) ||
                                      halvexError->is(HalvexError::Case::installationAuthorization) ||
                                      halvexError->is(HalvexError::Case::updateInProgress));
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t index = 0; index < names.size(); ++index) text += (index > 0 ? ", " : "") + names[index];
    return text;
}

// Sleeps on the monotonic clock; false when the stop token ended it.
bool pause(std::chrono::duration<double> duration, std::stop_token stop) {
    try {
        sleepFor(std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration), stop);
        return true;
    } catch (const OperationCancelled&) {
        return false;
    }
}

}  // namespace

BackgroundAgent::BackgroundAgent(Environment environment) : environment_(std::move(environment)) {
    if (!environment_.configuration) {
        environment_.configuration = [] {
            return HalvexConfiguration::bundled(Bundle::main(), platform::currentEnvironment());
        };
    }
    if (!environment_.keychain) environment_.keychain = [] { return KeychainStore("com.halvex.hub"); };
    if (!environment_.pluginFolders)
        environment_.pluginFolders = [] { return PluginInstaller::Folders::standard(); };
    if (!environment_.hubOptions) {
        environment_.hubOptions = [] {
            HubUpdater::Options options;
            options.modeArguments = modeArguments();
            return options;
        };
    }
    if (!environment_.reRegisterAfterUpdate) {
        // Resolved now: once the update has swapped the bundle, the running executable is the replaced copy
        // under a hidden name, and re-registering from there would start nothing.
        environment_.reRegisterAfterUpdate = [controller = BackgroundServiceController::forRunningBundle()] {
            controller.reRegisterAfterUpdate();
        };
    }
    if (!environment_.hubVersion) {
        environment_.hubVersion = Bundle::main().infoString("CFBundleShortVersionString").value_or("0.0.0");
    }
}

void BackgroundAgent::reRegisterAfterUpdate() const {
    environment_.reRegisterAfterUpdate();
}

void BackgroundAgent::write(const std::string& message, const std::optional<std::string>& error) const {
    environment_.statusStore.write({BackgroundAgentStatus::now(), message, error});
}

std::unique_ptr<PluginInstaller> BackgroundAgent::makeInstaller(
    const HalvexConfiguration& configuration) const {
    auto installer = std::make_unique<PluginInstaller>(configuration, environment_.pluginFolders());
    if (environment_.audioApplications) installer->setAudioApplications(environment_.audioApplications);
    return installer;
}

bool BackgroundAgent::runForever(std::stop_token stop) {
    std::stop_source stagedStop;
    std::jthread staged([this, token = stagedStop.get_token()] { finishPreparedUpdates(token); });
    std::stop_callback forward(stop, [&stagedStop] { stagedStop.request_stop(); });
    while (!stop.stop_requested()) {
        std::chrono::duration<double> wait;
        try {
            wait = runOnce(stop);
        } catch (const OperationCancelled&) {
            break;
        }
        if (hubUpdateInstalled_) break;
        pause(wait, stop);
    }
    stagedStop.request_stop();
    return hubUpdateInstalled_;
}

std::chrono::duration<double> BackgroundAgent::runOnce(std::stop_token stop) {
    const auto& timings = environment_.timings;
    std::optional<HalvexConfiguration> configuration;
    std::optional<APIClient> client;
    std::optional<HubUpdater> updater;
    std::optional<SignedMetadataVerifier> verifier;
    try {
        configuration = environment_.configuration();
        client.emplace(*configuration, environment_.keychain());
        verifier.emplace(SignedMetadataVerifier::fromPEM(configuration->releasePublicKeyPEM));
        updater.emplace(*configuration, *client,
                        SignedMetadataVerifier::fromPEM(configuration->releasePublicKeyPEM),
                        environment_.hubOptions());
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }

    std::optional<std::string> hubMessage;
    std::optional<std::string> firstError;
    try {
        const auto result = updater->checkAndInstallIfAvailable(stop);
        if (result.kind == HubUpdater::Result::Kind::installed) {
            write("Installed HALVEX HUB " + result.text + ". Restarting the background agent.", std::nullopt);
            hubUpdateInstalled_ = true;
            return std::chrono::seconds(0);
        }
        if (result.kind == HubUpdater::Result::Kind::deferred) {
            write(result.text, std::nullopt);
            hubMessage = result.text;
        }
    } catch (const OperationCancelled&) {
        throw;
    } catch (const std::exception& error) {
        hubMessage = hubRetryMessage;
        firstError = error.what();
    }

    bool signedIn = false;
    try {
        signedIn = client->hasCredential();
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }
    if (!signedIn) {
        write(hubMessage.value_or(signInMessage), firstError);
        return hubMessage ? timings.retry : timings.idle;
    }

    std::optional<Catalog> catalog;
    std::unique_ptr<PluginInstaller> installer;
    try {
        catalog = client->catalog(stop);
        installer = makeInstaller(*configuration);
    } catch (const OperationCancelled&) {
        throw;
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }
    const auto& hubVersion = *environment_.hubVersion;
    std::map<std::string, std::string> pending;
    try {
        pending = installer->pendingVersions(*verifier);
    } catch (const std::exception&) {
        // An unreadable pending folder only means nothing is known to be waiting; the staged loop reports it.
    }

    bool attention = hubMessage.has_value();
    const auto holds = installer->holds();
    for (const auto& product : catalog->products) {
        // The user keeps a held product at its version: no update, and nothing to retry.
        if (holds.isHeld(product.productID)) continue;
        const auto installed = installer->installedVersion(product.bundleID);
        const auto channel = installer->installedChannel(product.bundleID, *verifier);
        const auto release = catalog->updateRelease(product, installed, channel);
        if (!release || !installed) continue;
        if (SemanticVersion::isNewer(release->minimumHubVersion, hubVersion)) {
            attention = true;
            continue;
        }
        if (SemanticVersion::isNewer(*installed, release->version)) continue;
        if (installer->isComplete(*release)) continue;
        if (pending.contains(release->productID)) {
            attention = true;
            continue;
        }
        try {
            installer->downloadAndInstall(*release, *client, *verifier, false, false, stop);
        } catch (const OperationCancelled&) {
            throw;
        } catch (const std::exception& error) {
            attention = true;
            if (!isExpectedCondition(error) && !firstError) firstError = error.what();
        }
    }
    write(hubMessage ? *hubMessage : (attention ? pendingRetryMessage : allCurrentMessage), firstError);
    return attention ? timings.retry : timings.idle;
}

void BackgroundAgent::finishPreparedUpdates(std::stop_token stop) {
    std::optional<SignedMetadataVerifier> verifier;
    std::unique_ptr<PluginInstaller> installer;
    bool recovered = false;
    // Each problem is written once, until it goes away; the loop meets it again every round.
    std::optional<std::string> lastError;
    const auto report = [&](const std::string& message, const std::string& error) {
        if (error == lastError) return;
        write(message, error);
        lastError = error;
    };
    const std::string attention = "A prepared update needs attention. Open HALVEX HUB and refresh to retry.";
    while (!stop.stop_requested()) {
        try {
            // Set up, and settle what a crash cut short, before anything else; both are tried again on
            // every round until they succeed, so that one failure never stops staged updates for good.
            if (!installer) {
                const auto configuration = environment_.configuration();
                verifier.emplace(SignedMetadataVerifier::fromPEM(configuration.releasePublicKeyPEM));
                installer = makeInstaller(configuration);
            }
            if (!recovered) {
                // False when another update holds the lock: that update settles the work itself.
                installer->recoverInterruptedWork();
                recovered = true;
            }
        } catch (const std::exception& error) {
            report("Prepared updates need attention in the HUB.", error.what());
            if (!pause(environment_.timings.stagedPoll, stop)) break;
            continue;
        }
        try {
            std::optional<std::string> unreadable;
            const auto names = installer->finishPendingUpdates(
                *verifier, *environment_.hubVersion,
                [&](const std::filesystem::path&, const std::exception& error) {
                    if (!unreadable) unreadable = error.what();
                });
            if (!names.empty()) {
                write("Updated " + joined(names) + ". Reopen your DAW to use the latest version.",
                      unreadable);
                lastError = unreadable;
            } else if (unreadable) {
                report(attention, *unreadable);
            } else {
                lastError.reset();
            }
        } catch (const HalvexError& error) {
            if (!error.is(HalvexError::Case::dawIsRunning) && !error.is(HalvexError::Case::updateInProgress))
                report(attention, error.what());
        } catch (const std::exception& error) {
            report(attention, error.what());
        }
        if (!pause(environment_.timings.stagedPoll, stop)) break;
    }
}

}  // namespace halvex::app

#include "app/background_agent.h"

#include <thread>

#include "app/background_service_controller.h"
#include "core/foundation/halvex_error.h"
#include "core/foundation/interruptible_sleep.h"
#include "core/foundation/operation_cancelled.h"
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
    if (!environment_.reRegisterAfterUpdate) {
        // Resolved now: once the update has swapped the bundle, the running executable is the replaced copy
        // under a hidden name, and re-registering from there would start nothing.
        environment_.reRegisterAfterUpdate = [controller = BackgroundServiceController::forRunningBundle()] {
            controller.reRegisterAfterUpdate();
        };
    }
}

void BackgroundAgent::reRegisterAfterUpdate() const {
    environment_.reRegisterAfterUpdate();
}

void BackgroundAgent::write(const std::string& message, const std::optional<std::string>& error) const {
    environment_.statusStore.write({BackgroundAgentStatus::now(), message, error});
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
    // Built afresh every cycle, so that a changed environment takes effect at the next one.
    std::unique_ptr<LibraryService> library;
    try {
        library = std::make_unique<LibraryService>(environment_.library);
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }

    std::optional<std::string> hubMessage;
    std::optional<std::string> firstError;
    try {
        const std::lock_guard installing(installerWork_);
        const auto result = library->hubUpdater().checkAndInstallIfAvailable(stop);
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
        signedIn = library->client().hasCredential();
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }
    if (!signedIn) {
        write(hubMessage.value_or(signInMessage), firstError);
        return hubMessage ? timings.retry : timings.idle;
    }

    std::optional<Catalog> catalog;
    try {
        catalog = library->client().catalog(stop);
    } catch (const OperationCancelled&) {
        throw;
    } catch (const std::exception& error) {
        write(retryMessage, error.what());
        return timings.retry;
    }
    const bool attention = updatePlugins(*library, *catalog, stop, firstError) || hubMessage;
    write(hubMessage ? *hubMessage : (attention ? pendingRetryMessage : allCurrentMessage), firstError);
    return attention ? timings.retry : timings.idle;
}

bool BackgroundAgent::updatePlugins(LibraryService& library, const Catalog& catalog, std::stop_token stop,
                                    std::optional<std::string>& firstError) {
    bool attention = false;
    const auto states = library.scan(catalog);
    for (const auto& product : catalog.products) {
        const auto& state = stateOf(states, product.productID);
        // The user keeps a held product at its version: no update, and nothing to retry.
        if (state.held() || !product.owned) continue;
        const auto due = dueUpdate(catalog, product, state);
        if (!due) continue;
        // Waiting for a newer hub, or for the audio hosts to quit: both come back in a later cycle.
        if (needsNewerHub(*due, library.hubVersion()) || state.pendingVersion) {
            attention = true;
            continue;
        }
        try {
            const std::lock_guard installing(installerWork_);
            library.install(catalog, product, *due, false, false, stop);
        } catch (const OperationCancelled&) {
            throw;
        } catch (const std::exception& error) {
            attention = true;
            if (!isExpectedCondition(error) && !firstError) firstError = error.what();
        }
    }
    return attention;
}

void BackgroundAgent::finishPreparedUpdates(std::stop_token stop) {
    std::unique_ptr<LibraryService> library;
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
            if (!library) library = std::make_unique<LibraryService>(environment_.library);
            const std::lock_guard working(installerWork_);
            if (!recovered) {
                // False when another update holds the lock: that update settles the work itself.
                library->installer().recoverInterruptedWork();
                recovered = true;
            }
        } catch (const std::exception& error) {
            report("Prepared updates need attention in the HUB.", error.what());
            if (!pause(environment_.timings.stagedPoll, stop)) break;
            continue;
        }
        try {
            const std::lock_guard working(installerWork_);
            std::optional<std::string> unreadable;
            const auto names = library->installer().finishPendingUpdates(
                library->verifier(), library->hubVersion(),
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

// HubModel: installing a newer hub (prepared here, finished by a process of its own after the window quits).

#include "app/model/hub_model.h"
#include "app/model/model_executor.h"

namespace halvex::app {

QCoro::Task<> HubModel::installHubUpdateAsync() {
    sequence_.check();
    if (!services_.library || !hubRelease_ || busy()) co_return;
    const auto release = *hubRelease_;
    const auto library = services_.library;
    setInstallingHubUpdate(true);
    setHubUpdateMessage("Downloading and verifying HUB " + release.version + "\u2026");
    std::string ticket;
    std::exception_ptr failure;
    try {
        auto preparation = executor_->run(executor_->updater, [library, release](std::stop_token stop) {
            return library->hubUpdater().prepare(release, stop);
        });
        ticket = co_await preparation;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        setInstallingHubUpdate(false);
        setHubUpdateMessage(std::nullopt);
        handle(failure);
        co_return;
    }

    setHubUpdateMessage("Restarting to finish the update\u2026");
    try {
        auto handOff = executor_->run(executor_->updater, [handOff = services_.handOffHubUpdate,
                                                           ticket](std::stop_token stop) {
            if (!handOff)
                throw HalvexError::backgroundService("The HUB updater could not start. Please try again.");
            handOff(ticket, stop);
        });
        co_await handOff;
        co_return;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    try {
        auto discard = executor_->run(executor_->updater, [library, ticket](std::stop_token) {
            library->hubUpdater().discardPrepared(ticket);
        });
        co_await discard;
    } catch (const std::exception&) {
        // The hand-off's failure is the one to show; a ticket folder left behind is removed by the next
        // preparation's clean-up.
    }
    setInstallingHubUpdate(false);
    setHubUpdateMessage(std::nullopt);
    handle(failure);
}

void HubModel::installHubUpdate() {
    launch(installHubUpdateAsync());
}

}  // namespace halvex::app

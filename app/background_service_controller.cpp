#include "app/background_service_controller.h"

#include <unistd.h>

#include "app/autostart_registration.h"
#include "core/foundation/halvex_error.h"
#include "platform/detached_process.h"
#include "platform/running_bundle.h"

namespace halvex::app {

namespace {

using State = BackgroundServiceController::State;

State mapped(int status) {
    switch (status) {
        case BackgroundServiceRegistration::notRegistered:
        case BackgroundServiceRegistration::notFound:
            return State::unavailable(BackgroundServiceController::notRegisteredMessage);
        case BackgroundServiceRegistration::enabled:
            return State::active();
        case BackgroundServiceRegistration::requiresApproval:
            return State::requiresApproval();
        default:
            return State::unavailable(BackgroundServiceController::checkAccessMessage);
    }
}

}  // namespace

BackgroundServiceController::BackgroundServiceController(Environment environment)
    : environment_(std::move(environment)) {}

BackgroundServiceController BackgroundServiceController::forRunningBundle() {
    return forBundle(platform::runningBundlePath().value_or(platform::runningExecutablePath().parent_path()));
}

BackgroundServiceController BackgroundServiceController::forBundle(const std::filesystem::path& bundle) {
    const auto places = AutostartRegistration::standardPlaces(bundle);
    return BackgroundServiceController(
        {bundle, platform::standardFolders().applications,
         std::make_shared<AutostartRegistration>(AutostartRegistration::agent(places)),
         std::make_shared<AutostartRegistration>(AutostartRegistration::mainApplication(places))});
}

std::optional<std::string> BackgroundServiceController::installationProblem() const {
    const auto& bundle = environment_.bundle;
    const auto standardized = [](const std::filesystem::path& path) {
        auto normal = path.lexically_normal();
        return normal.has_filename() ? normal : normal.parent_path();
    };
    if (bundle.extension() != ".app" ||
        standardized(bundle).parent_path() != standardized(environment_.applicationsFolder)) {
        return std::string(moveMessage);
    }
    std::error_code error;
    const auto plist = bundle / "Contents" / "Library" / "LaunchAgents" / "com.halvex.hub.agent.plist";
    const auto executable = bundle / "Contents" / "MacOS" / "HalvexHub";
    if (std::filesystem::is_regular_file(plist, error) &&
        std::filesystem::is_regular_file(executable, error) && ::access(executable.c_str(), X_OK) == 0) {
        return std::nullopt;
    }
    return std::string(reinstallMessage);
}

State BackgroundServiceController::registerService(BackgroundServiceRegistration& service,
                                                   bool replacingEnabled) {
    switch (service.status()) {
        case BackgroundServiceRegistration::notRegistered:
        case BackgroundServiceRegistration::notFound:
            service.registerService();
            break;
        case BackgroundServiceRegistration::enabled:
            if (!replacingEnabled) return State::active();
            service.unregisterService();
            service.registerService();
            break;
        case BackgroundServiceRegistration::requiresApproval:
            return State::requiresApproval();
        default:
            break;
    }
    return mapped(service.status());
}

State BackgroundServiceController::currentState() const {
    if (auto problem = installationProblem()) return State::unavailable(std::move(*problem));
    return mapped(environment_.agent->status());
}

State BackgroundServiceController::ensureRegistered() const {
    if (auto problem = installationProblem()) return State::unavailable(std::move(*problem));
    if (const int status = environment_.mainApplication->status();
        status == BackgroundServiceRegistration::enabled ||
        status == BackgroundServiceRegistration::requiresApproval) {
        try {
            environment_.mainApplication->unregisterService();
        } catch (const std::exception&) {
            // The application's own login item is only tidied away; the agent's registration is what matters.
        }
    }
    try {
        const auto state = registerService(*environment_.agent, false);
        // An enabled entry without a running agent gets one.
        if (state == State::active()) environment_.agent->ensureRunning();
        return state;
    } catch (const std::exception& error) {
        if (environment_.agent->status() == BackgroundServiceRegistration::requiresApproval) {
            return State::requiresApproval();
        }
        return State::unavailable(error.what());
    }
}

void BackgroundServiceController::replaceRegistration() const {
    if (auto problem = installationProblem()) throw HalvexError::backgroundService(std::move(*problem));
    const auto state = registerService(*environment_.agent, true);
    if (state.kind == State::Kind::unavailable) throw HalvexError::backgroundService(state.message);
}

void BackgroundServiceController::reRegisterAfterUpdate() const {
    try {
        platform::startDetached(environment_.bundle / "Contents" / "MacOS" / "HalvexHub",
                                {"--register-background-agent"});
    } catch (const std::exception&) {
        // Best effort by design: the next window start registers the agent again.
    }
}

}  // namespace halvex::app

#include "app/halvex_entry_point.h"

#include <filesystem>
#include <iostream>
#include <system_error>

#include "app/background_agent_mode.h"
#include "app/background_service_controller.h"
#include "app/desktop_integration.h"
#include "app/hub_update_restart.h"
#include "app/process_mode.h"
#include "core/foundation/halvex_configuration.h"
#include "core/foundation/halvex_error.h"
#include "halvex/build_constants.h"

namespace halvex::app {

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

int windowPlaceholder() {
    try {
        const auto configuration =
            HalvexConfiguration::bundled(Bundle::main(), platform::currentEnvironment());
        std::cout << "HALVEX HUB " << build::hubVersion << " (service " << configuration.apiBaseURL.string()
                  << "): the window is not part of this build yet.\n";
    } catch (const HalvexError& error) {
        std::cout << "HALVEX HUB " << build::hubVersion << ": " << error.errorDescription() << "\n";
    }
    return 0;
}

}  // namespace

ModeRunners defaultModeRunners() {
    return {
        [](const std::string& ticket, std::int32_t parentPID) {
            return HubUpdateRestart::finish(ticket, parentPID);
        },
        runBackgroundAgentMode,
        [] { BackgroundServiceController::forRunningBundle().replaceRegistration(); },
        windowPlaceholder,
        [] { DesktopIntegration::forRunningBundle().integrate(); },
    };
}

std::string errorLine(const std::exception& error) {
    std::string domain = "HalvexHub.Error";
    long code = 1;
    if (const auto* halvexError = dynamic_cast<const HalvexError*>(&error)) {
        domain = "HalvexCore.HalvexError";
        code = static_cast<long>(halvexError->kind());
    } else if (const auto* systemError = dynamic_cast<const std::system_error*>(&error)) {
        domain = systemError->code().category() == std::generic_category() ||
                         systemError->code().category() == std::system_category()
                     ? "NSPOSIXErrorDomain"
                     : systemError->code().category().name();
        code = systemError->code().value();
    }
    std::string userInfo = "{}";
    if (const auto* fileError = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        if (!fileError->path1().empty()) userInfo = "{NSFilePath=" + fileError->path1().string() + "}";
    }
    return domain + " " + std::to_string(code) + ": " + error.what() + " " + userInfo + "\n";
}

int HalvexEntryPoint::run(const std::vector<std::string>& arguments, const ModeRunners& runners,
                          std::ostream& errors) {
    const auto integrateDesktop = [&] {
        if (!runners.integrateDesktop) return;
        try {
            runners.integrateDesktop();
        } catch (const std::exception& error) {
            // The hub works without its menu entry; the next start tries again.
            errors << errorLine(error) << std::flush;
        }
    };
    try {
        return std::visit(Overloaded{
                              [&](const FinishHubUpdateMode& mode) {
                                  return runners.finishHubUpdate(mode.ticket, mode.parentPID);
                              },
                              [&](const BackgroundAgentMode&) { return runners.backgroundAgent(); },
                              [&](const RegisterBackgroundAgentMode&) {
                                  integrateDesktop();
                                  runners.replaceRegistration();
                                  return 0;
                              },
                              [&](const WindowedMode&) {
                                  integrateDesktop();
                                  return runners.window();
                              },
                          },
                          chooseProcessMode(arguments));
    } catch (const std::exception& error) {
        // No mode ends the process through an uncaught exception; every failure leaves this one line.
        errors << errorLine(error) << std::flush;
        return 1;
    }
}

int HalvexEntryPoint::main(int argc, char** argv) {
    return run(std::vector<std::string>(argv, argv + argc), defaultModeRunners(), std::cerr);
}

}  // namespace halvex::app

#pragma once

// Decides whether the installed bundle can run the background agent, registers it with the operating
// system, and reports the outcome as a small state for the window. Keeps no state: every call asks the
// registration afresh. Called on the main thread or from the one-shot re-registration process.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/background_service_registration.h"
#include "platform/standard_folders.h"

namespace halvex::app {

class BackgroundServiceController {
  public:
    struct State {
        enum class Kind { active, requiresApproval, unavailable };
        Kind kind = Kind::active;
        std::string message;  // for unavailable

        static State active() { return {}; }
        static State requiresApproval() { return {Kind::requiresApproval, {}}; }
        static State unavailable(std::string message) { return {Kind::unavailable, std::move(message)}; }
        bool operator==(const State&) const = default;
    };

    struct Environment {
        std::filesystem::path bundle;
        std::filesystem::path applicationsFolder = platform::standardFolders().applications;
        std::shared_ptr<BackgroundServiceRegistration> agent;
        std::shared_ptr<BackgroundServiceRegistration> mainApplication;
    };

    static constexpr const char* reinstallMessage =
        "Reinstall HALVEX HUB to restore its missing background service files.";
    static constexpr const char* moveMessage =
        "Move HALVEX HUB into the Applications folder (~/Applications), then open it again to enable "
        "background "
        "updates.";
    static constexpr const char* notRegisteredMessage =
        "The HALVEX background service is not registered. Select Retry Background Service to register it "
        "again.";
    static constexpr const char* checkAccessMessage = "Check HALVEX background access in System Settings.";

    explicit BackgroundServiceController(Environment environment);
    // The running bundle with its autostart registrations.
    static BackgroundServiceController forRunningBundle();
    static BackgroundServiceController forBundle(const std::filesystem::path& bundle);

    State currentState() const;
    State ensureRegistered() const;
    // Unregisters and registers again; throws HalvexError::backgroundService or the registration's error.
    void replaceRegistration() const;
    // Starts this bundle's executable in the re-registration mode and returns at once; never fails.
    void reRegisterAfterUpdate() const;
    std::optional<std::string> installationProblem() const;

    static State registerService(BackgroundServiceRegistration& service, bool replacingEnabled);

  private:
    Environment environment_;
};

}  // namespace halvex::app

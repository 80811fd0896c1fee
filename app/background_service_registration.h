#pragma once

// What the registration decisions need from a service the operating system starts for the user.
// Implementations say which threads may call them; the controller calls them from one thread at a time.

namespace halvex::app {

class BackgroundServiceRegistration {
  public:
    // Raw status values; anything else is "other".
    static constexpr int notRegistered = 0;
    static constexpr int enabled = 1;
    static constexpr int requiresApproval = 2;
    static constexpr int notFound = 3;

    virtual ~BackgroundServiceRegistration() = default;
    virtual int status() const = 0;
    virtual void registerService() = 0;
    virtual void unregisterService() = 0;
    // Starts an enabled service that is not running. Registrations whose system restarts what ended have
    // nothing to do; autostart only starts at login.
    virtual void ensureRunning() const {}
};

}  // namespace halvex::app

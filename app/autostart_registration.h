#pragma once

// A per-user service as an XDG autostart entry ($XDG_CONFIG_HOME/autostart/<name>.desktop) that runs the
// bundle's executable. The agent's entry is generated from the bundle's launch-agent property list;
// registering it also starts the agent at once (autostart only acts at the next login), and
// unregistering stops the running agent. Statuses:
//   no entry                                         -> not registered
//   entry disabled by the user (Hidden=true or X-GNOME-Autostart-enabled=false) -> requires approval
//   entry running this bundle's executable with the expected arguments          -> enabled
//   any other entry (another or a missing executable, or unreadable)            -> not found
// Keeps no state of its own (every call reads the files afresh): any thread may call it, though two
// threads registering at once may both start an agent (the agent lock keeps only one).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/background_service_registration.h"

namespace halvex::app {

class AutostartRegistration final : public BackgroundServiceRegistration {
  public:
    struct Places {
        std::filesystem::path bundle;           // <...>.app
        std::filesystem::path autostartFolder;  // $XDG_CONFIG_HOME/autostart
        std::filesystem::path agentFolder;      // where agent.lock lives
    };

    // The background agent's entry ("com.halvex.hub.agent.desktop").
    static AutostartRegistration agent(Places places);
    // The application as its own login item ("com.halvex.hub.desktop"); only ever removed.
    static AutostartRegistration mainApplication(Places places);
    static Places standardPlaces(const std::filesystem::path& bundle);

    int status() const override;
    void registerService() override;
    void unregisterService() override;

    std::filesystem::path entryPath() const { return places_.autostartFolder / (name_ + ".desktop"); }
    std::filesystem::path executable() const { return places_.bundle / "Contents" / "MacOS" / "HalvexHub"; }

    // The agent's entry starts the agent detached unless one already holds the agent lock.
    void ensureRunning() const override;
    // Stops the agent holding the lock, after checking that its executable is this bundle's.
    void stopAgent() const;

  private:
    AutostartRegistration(Places places, std::string name, bool isAgent)
        : places_(std::move(places)), name_(std::move(name)), isAgent_(isAgent) {}
    std::vector<std::string> expectedCommand() const;

    Places places_;
    std::string name_;
    bool isAgent_;
};

}  // namespace halvex::app

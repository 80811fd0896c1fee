#pragma once

// An installation's progress as the window shows it, and the throttle that thins out the installer's
// reports on their way to the main thread.

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/install/plugin_installer.h"

namespace halvex::app {

struct InstallActivity {
    PluginInstaller::Progress progress;
    double bytesPerSecond = 0;
    bool operator==(const InstallActivity&) const = default;
};

// Passes at most one report per `interval` while bytes arrive, and always a change of step and the last
// report of a step; each passed report carries the download rate since the first report (resumed bytes
// do not count). Called on the installing thread only.
class InstallProgressThrottle {
  public:
    explicit InstallProgressThrottle(std::chrono::milliseconds interval) : interval_(interval) {}

    std::optional<InstallActivity> pass(const PluginInstaller::Progress& update,
                                        std::chrono::steady_clock::time_point now);

  private:
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastPassed_;
    std::int64_t firstBytes_ = -1;
    PluginInstaller::Progress::Step lastStep_ = PluginInstaller::Progress::Step::downloading;
};

}  // namespace halvex::app

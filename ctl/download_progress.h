#pragma once

// Shows how an installation advances, fed by the installer's progress reports: on a terminal a bar with
// the share downloaded, the rate and the time left, redrawn in place at most five times a second, then
// one line per later step; otherwise one plain line per step. Call it from the installing thread only;
// nobody else writes to the stream meanwhile.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "core/install/plugin_installer.h"

namespace halvex::ctl {

class DownloadProgress {
  public:
    DownloadProgress(std::ostream& out, std::string label, bool terminal);
    // Ends a bar still drawn, so that what follows starts on its own line.
    ~DownloadProgress();
    DownloadProgress(const DownloadProgress&) = delete;
    DownloadProgress& operator=(const DownloadProgress&) = delete;

    void report(const PluginInstaller::Progress& progress);

    // One bar line: label, bar, share, rate and time left (the rate is unknown while it is 0).
    static std::string bar(const std::string& label, std::int64_t done, std::int64_t total,
                           double bytesPerSecond);
    static std::string bytesText(double bytes);
    static std::string durationText(double seconds);

  private:
    void endBar();

    std::ostream& out_;
    std::string label_;
    bool terminal_;
    std::optional<PluginInstaller::Progress::Step> step_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point drawn_;
    std::int64_t firstBytes_ = 0;
    std::size_t drawnWidth_ = 0;
};

}  // namespace halvex::ctl

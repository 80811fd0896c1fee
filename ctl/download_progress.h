#pragma once

// Shows how a download advances by watching its file grow (the client writes the archive in place):
// on a terminal a bar with the share done, the rate and the time left, redrawn in place; otherwise one
// plain line once the download is complete and verification begins. A thread of its own draws until the
// object is destroyed; nobody else writes to the stream meanwhile.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <thread>

namespace halvex::ctl {

class DownloadProgress {
  public:
    DownloadProgress(std::ostream& out, std::filesystem::path file, std::int64_t expectedBytes,
                     std::string label, bool terminal);
    ~DownloadProgress();
    DownloadProgress(const DownloadProgress&) = delete;
    DownloadProgress& operator=(const DownloadProgress&) = delete;

    // One bar line: label, bar, share, rate and time left (the rate is unknown while it is 0).
    static std::string bar(const std::string& label, std::int64_t done, std::int64_t total,
                           double bytesPerSecond);
    static std::string bytesText(double bytes);
    static std::string durationText(double seconds);

  private:
    void watch(std::stop_token stop);

    std::ostream& out_;
    std::filesystem::path file_;
    std::int64_t expectedBytes_;
    std::string label_;
    bool terminal_;
    std::jthread thread_;
};

}  // namespace halvex::ctl

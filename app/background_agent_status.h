#pragma once

// The one-record status file through which processes without a window report to the window:
// "background-status.json" in the installer's folder. Every write replaces the whole file atomically,
// so a reader always sees one complete record, the latest written by any process. Any thread may read or
// write.

#include <filesystem>
#include <optional>
#include <string>

namespace halvex::app {

struct BackgroundAgentStatus {
    double checkedAt = 0;  // seconds since 2001-01-01 00:00:00 UTC
    std::string message;
    std::optional<std::string> error;

    // The current time on the record's clock.
    static double now();
    bool operator==(const BackgroundAgentStatus&) const = default;
};

class BackgroundAgentStatusStore {
  public:
    // The installer's folder of the signed-in user.
    BackgroundAgentStatusStore();
    explicit BackgroundAgentStatusStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Never fails: a status that cannot be written is dropped (the file is a report, not state).
    void write(const BackgroundAgentStatus& status) const;
    // Absent for a missing, unreadable or malformed file.
    std::optional<BackgroundAgentStatus> read() const;

    std::filesystem::path file() const { return folder_ / "background-status.json"; }

  private:
    std::filesystem::path folder_;
};

}  // namespace halvex::app

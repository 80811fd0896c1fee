#include "ctl/download_progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <ostream>

namespace halvex::ctl {

namespace {

constexpr int barWidth = 24;
constexpr auto redrawInterval = std::chrono::milliseconds(200);

std::int64_t sizeOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

}  // namespace

DownloadProgress::DownloadProgress(std::ostream& out, std::filesystem::path file, std::int64_t expectedBytes,
                                   std::string label, bool terminal)
    : out_(out),
      file_(std::move(file)),
      expectedBytes_(expectedBytes),
      label_(std::move(label)),
      terminal_(terminal),
      thread_([this](std::stop_token stop) { watch(stop); }) {}

DownloadProgress::~DownloadProgress() {
    thread_.request_stop();
    thread_.join();
}

std::string DownloadProgress::bytesText(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string DownloadProgress::durationText(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(seconds));
    if (whole < 60) return std::to_string(whole) + " s";
    if (whole < 3600) return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
    return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

std::string DownloadProgress::bar(const std::string& label, std::int64_t done, std::int64_t total,
                                  double bytesPerSecond) {
    const double share =
        total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 1.0;
    const int filled = static_cast<int>(share * barWidth);
    std::string line = label + "  [" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(share * 100));
    line += percent;
    if (bytesPerSecond > 0) {
        line += "  " + bytesText(bytesPerSecond) + "/s";
        if (done < total)
            line += "  " + durationText(static_cast<double>(total - done) / bytesPerSecond) + " left";
    }
    return line;
}

void DownloadProgress::watch(std::stop_token stop) {
    const auto started = std::chrono::steady_clock::now();
    const auto startBytes = sizeOf(file_);
    std::mutex mutex;
    std::condition_variable_any wake;
    std::size_t drawnWidth = 0;
    bool verifying = false;
    while (true) {
        const auto done = sizeOf(file_);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double rate = elapsed > 0.5 ? static_cast<double>(done - startBytes) / elapsed : 0;
        const bool complete = done >= expectedBytes_;
        if (terminal_ && !verifying) {
            auto line = bar(label_, done, expectedBytes_, rate);
            const auto width = line.size();
            if (width < drawnWidth) line += std::string(drawnWidth - width, ' ');
            drawnWidth = width;
            out_ << "\r" << line << std::flush;
        }
        if (complete && !verifying) {
            verifying = true;
            out_ << (terminal_ ? "\n" : "") << "Verifying and installing " << label_ << "…\n" << std::flush;
        }
        std::unique_lock lock(mutex);
        if (wake.wait_for(lock, stop, redrawInterval, [] { return false; })) break;
        if (stop.stop_requested()) break;
    }
    if (terminal_ && !verifying) out_ << "\n" << std::flush;
}

}  // namespace halvex::ctl

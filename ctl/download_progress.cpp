#include "ctl/download_progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace halvex::ctl {

namespace {

constexpr int barWidth = 24;
constexpr auto redrawInterval = std::chrono::milliseconds(200);

}  // namespace

DownloadProgress::DownloadProgress(std::ostream& out, std::string label, bool terminal)
    : out_(out), label_(std::move(label)), terminal_(terminal) {}

DownloadProgress::~DownloadProgress() {
    endBar();
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

void DownloadProgress::endBar() {
    if (drawnWidth_ == 0) return;
    out_ << "\n" << std::flush;
    drawnWidth_ = 0;
}

void DownloadProgress::report(const PluginInstaller::Progress& progress) {
    using Step = PluginInstaller::Progress::Step;
    const auto now = std::chrono::steady_clock::now();
    const bool newStep = step_ != progress.step;
    if (progress.step != Step::downloading) {
        if (!newStep) return;
        step_ = progress.step;
        endBar();
        out_ << (progress.step == Step::verifying ? "Verifying " : "Installing ") << label_ << "\u2026\n"
             << std::flush;
        return;
    }
    if (newStep) {
        step_ = progress.step;
        started_ = now;
        firstBytes_ = progress.bytesDone;
        if (!terminal_) {
            out_ << "Downloading " << label_ << " (" << bytesText(static_cast<double>(progress.bytesTotal))
                 << ")\u2026\n"
                 << std::flush;
        }
    }
    const bool complete = progress.bytesDone >= progress.bytesTotal;
    if (!terminal_ || (!newStep && !complete && now - drawn_ < redrawInterval)) return;
    drawn_ = now;
    // Resumed bytes arrived before this run: the rate counts only what this run received.
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const double rate = elapsed > 0.5 ? static_cast<double>(progress.bytesDone - firstBytes_) / elapsed : 0;
    auto line = bar(label_, progress.bytesDone, progress.bytesTotal, rate);
    const auto width = line.size();
    if (width < drawnWidth_) line += std::string(drawnWidth_ - width, ' ');
    drawnWidth_ = width;
    out_ << "\r" << line << std::flush;
}

}  // namespace halvex::ctl

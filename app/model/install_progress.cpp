#include "app/model/install_progress.h"

namespace halvex::app {

std::optional<InstallActivity> InstallProgressThrottle::pass(const PluginInstaller::Progress& update,
                                                             std::chrono::steady_clock::time_point now) {
    if (firstBytes_ < 0) {
        firstBytes_ = update.bytesDone;
        started_ = now;
    }
    const bool finished = update.bytesDone == update.bytesTotal;
    if (update.step == lastStep_ && !finished && now - lastPassed_ < interval_) return std::nullopt;
    lastPassed_ = now;
    lastStep_ = update.step;
    const std::chrono::duration<double> elapsed = now - started_;
    const double rate =
        elapsed.count() > 0 ? static_cast<double>(update.bytesDone - firstBytes_) / elapsed.count() : 0.0;
    return InstallActivity{update, rate};
}

}  // namespace halvex::app

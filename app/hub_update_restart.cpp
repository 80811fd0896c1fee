#include "app/hub_update_restart.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "app/library/library_service.h"
#include "core/foundation/bundle.h"
#include "core/foundation/halvex_error.h"
#include "core/hub_update/hub_update_process_wait.h"
#include "platform/detached_process.h"
#include "platform/file_io.h"
#include "platform/running_bundle.h"

namespace halvex::app {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void writeStatus(const std::string& message, const std::string& error) {
    BackgroundAgentStatusStore().write({BackgroundAgentStatus::now(), message, error});
}

// The finisher as a child with its standard output on a pipe; killed and reaped unless it was released.
class Finisher {
  public:
    Finisher(const std::filesystem::path& executable, const std::string& ticket) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) platform::throwErrno("pipe");
        output_.reset(fds[0]);
        platform::UniqueFd writeEnd(fds[1]);
        std::vector<std::string> strings = {executable.string(), "--finish-hub-update", ticket,
                                            std::to_string(::getpid())};
        std::vector<char*> argv;
        for (auto& text : strings) argv.push_back(text.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // Its own session: the finisher must outlive the window that started it.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        const int error =
            ::posix_spawn(&pid_, executable.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) platform::throwErrno(error, "start " + executable.string());
    }
    ~Finisher() {
        if (!released_ && running()) ::kill(pid_, SIGTERM);
        if (!released_) ::waitpid(pid_, nullptr, 0);
    }
    Finisher(const Finisher&) = delete;
    Finisher& operator=(const Finisher&) = delete;

    bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void terminate() const { ::kill(pid_, SIGTERM); }
    void release() { released_ = true; }

    // One read: returns when the finisher wrote something or closed its output (exit, crash, SIGTERM).
    std::string readOnce() const {
        char buffer[256];
        ssize_t count;
        while ((count = ::read(output_.get(), buffer, sizeof buffer)) < 0 && errno == EINTR) {
        }
        return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
    }

  private:
    pid_t pid_ = -1;
    platform::UniqueFd output_;
    bool released_ = false;
};

// The running bundle's hub updater, sharing the life of the library service that built it.
std::shared_ptr<HubUpdater> updaterOfRunningBundle() {
    const auto library = std::make_shared<LibraryService>();
    return {library, &library->hubUpdater()};
}

std::filesystem::path runningBundle() {
    return platform::runningBundlePath().value_or(platform::runningExecutablePath().parent_path());
}

}  // namespace

void HubUpdateRestart::handOff(const std::string& ticket, const std::function<void()>& terminate,
                               HandOffOptions options) {
    const auto executable =
        options.executable.empty() ? platform::runningExecutablePath() : options.executable;
    Finisher finisher(executable, ticket);
    // Stops a finisher that never answers. Whether it stopped one, or the finisher was handed the update
    // first, is decided once under the mutex: a finisher that said ready is never stopped.
    std::mutex decision;
    bool stopped = false;
    bool handedOver = false;
    std::jthread timeout([&, wait = options.timeout](std::stop_token stop) {
        std::unique_lock lock(decision);
        std::condition_variable_any wakeUp;
        if (!wakeUp.wait_for(lock, stop, wait, [] { return false; }) && !stop.stop_requested() &&
            !handedOver && finisher.running()) {
            finisher.terminate();
            stopped = true;
        }
    });
    const bool ready = trimmed(finisher.readOnce()) == "ready";
    {
        const std::lock_guard lock(decision);
        handedOver = ready && !stopped;
    }
    timeout.request_stop();
    timeout.join();
    if (handedOver) {
        finisher.release();
        terminate();
        // Still here: the window refused to quit; the finisher gives up on its own when its wait runs out.
        throw HalvexError::backgroundService(
            "The HUB stayed open. The update was cancelled; please try again.");
    }
    throw HalvexError::backgroundService("The HUB updater could not start. Please try again.");
}

int HubUpdateRestart::finish(const std::string& ticket, pid_t parentPID, FinishEnvironment environment) {
    // Taken before the swap: afterwards this process's own executable is the replaced copy.
    const auto bundle = runningBundle();
    if (!environment.makeUpdater) environment.makeUpdater = updaterOfRunningBundle;
    if (!environment.reRegisterAgent) {
        environment.reRegisterAgent = [bundle] {
            BackgroundServiceController::forBundle(bundle).reRegisterAfterUpdate();
        };
    }
    if (!environment.reopen) {
        environment.reopen = [bundle] {
            platform::startDetached(bundle / "Contents" / "MacOS" / "HalvexHub", {});
        };
    }
    std::ostream& output = environment.output != nullptr ? *environment.output : std::cout;

    std::shared_ptr<HubUpdater> updater;
    const auto fail = [&](const std::exception& error) {
        writeStatus("The HUB update did not finish. Please retry in the HUB.", error.what());
        if (updater) updater->discardPrepared(ticket);
        return 1;
    };
    try {
        if (!HubUpdateProcessWait::isValidParent(parentPID)) throw HubUpdateProcessWait::invalidParent();
        updater = environment.makeUpdater();
        updater->validatePrepared(ticket);
        output << "ready\n" << std::flush;
        HubUpdateProcessWait::waitForExit(parentPID, {}, environment.exitProbeInterval);
    } catch (const std::exception& error) {
        return fail(error);
    }

    try {
        updater->installPrepared(ticket);
    } catch (const std::exception& error) {
        writeStatus("The HUB update did not finish. Please retry in the HUB.", error.what());
        try {
            environment.reopen();  // the old version comes back
        } catch (const std::exception&) {
            // The failure status already tells the user what happened.
        }
        updater->discardPrepared(ticket);
        return 1;
    }
    environment.reRegisterAgent();
    updater->discardPrepared(ticket);
    try {
        environment.reopen();
    } catch (const std::exception& error) {
        writeStatus("HUB updated. Open HALVEX HUB from Applications.", error.what());
    }
    return 0;
}

}  // namespace halvex::app

#include "app/background_agent_mode.h"

#include <signal.h>
#include <unistd.h>

#include <thread>

#include "app/agent_lock.h"
#include "app/background_agent.h"
#include "platform/standard_folders.h"

namespace halvex::app {

int runBackgroundAgentMode() {
    // Blocked before any thread exists, so the termination signals reach only the wait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto lock = AgentLock::tryAcquire(platform::standardFolders().installerData);
    if (!lock) return 0;

    BackgroundAgent agent(BackgroundAgent::Environment{});
    std::jthread work([&agent](std::stop_token stop) {
        // After a hub update the agent ends itself; the signal wakes the wait below.
        if (agent.runForever(stop)) ::kill(::getpid(), SIGTERM);
    });
    int received = 0;
    sigwait(&signals, &received);
    work.request_stop();
    work.join();
    if (agent.hubUpdateInstalled()) {
        // The new bundle's agent can only start once this one no longer holds the lock.
        lock.reset();
        agent.reRegisterAfterUpdate();
    }
    return 0;
}

}  // namespace halvex::app

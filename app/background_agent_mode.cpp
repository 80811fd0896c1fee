#include "app/background_agent_mode.h"

#include <signal.h>

#include "app/agent_lock.h"
#include "platform/user_folders.h"

namespace halvex::app {

int runBackgroundAgentMode() {
    // Blocked before any thread exists, so the termination signals reach only the wait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const auto lock = AgentLock::tryAcquire(platform::userDataDirectory() / "Halvex");
    if (!lock) return 0;
    int received = 0;
    sigwait(&signals, &received);
    return 0;
}

}  // namespace halvex::app

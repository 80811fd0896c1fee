#pragma once

namespace halvex::app {

// The "--background-agent" process: one per user (a second one exits 0 at once), holding the agent lock
// until SIGTERM or SIGINT ends it.
int runBackgroundAgentMode();

}  // namespace halvex::app

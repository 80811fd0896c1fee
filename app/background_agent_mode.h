#pragma once

namespace halvex::app {

// The "--background-agent" process: one per user (a second one exits 0 at once), holding the agent lock
// until SIGTERM or SIGINT ends it. Called once, on the main thread, before any other thread exists.
int runBackgroundAgentMode();

}  // namespace halvex::app

#pragma once

// The process entry: picks one of the four modes from the command line and runs it.
// Runs on the main thread; the mode's work owns the process until it returns its exit status.

#include <cstdint>
#include <exception>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace halvex::app {

// The work behind each mode, supplied by the components that own them (replaceable in tests).
struct ModeRunners {
    std::function<int(const std::string& ticket, std::int32_t parentPID)> finishHubUpdate;
    std::function<int()> backgroundAgent;
    std::function<void()> replaceRegistration;
    std::function<int()> window;
    // Puts the desktop entry and icon of an installed bundle in place; runs before the window and before
    // the re-registration that follows every hub update. Its failure is reported and never stops the mode.
    std::function<void()> integrateDesktop;
};

ModeRunners defaultModeRunners();

// The single standard-error line of a failed mode: the error domain, a space, the numeric code, ": ",
// the user-facing description, a space, the user-information dictionary, and a line feed.
std::string errorLine(const std::exception& error);

struct HalvexEntryPoint {
    static int main(int argc, char** argv);
    // Runs the mode `arguments` ask for and returns the process exit status.
    static int run(const std::vector<std::string>& arguments, const ModeRunners& runners,
                   std::ostream& errors);
};

}  // namespace halvex::app

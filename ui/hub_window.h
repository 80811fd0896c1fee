#pragma once

// The windowed mode: the Qt Quick application around the model. Runs on the main thread and owns the
// process until the window's event loop ends; returns the exit status. Only this mode creates a
// QGuiApplication, so the other modes run without a display.

namespace halvex::ui {

int runHubWindow(int& argc, char** argv);

}  // namespace halvex::ui

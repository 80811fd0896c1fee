#include <iostream>
#include <string>
#include <vector>

#include "app/halvex_entry_point.h"
#include "ui/hub_window.h"

int main(int argc, char** argv) {
    auto runners = halvex::app::defaultModeRunners();
    runners.window = [&argc, argv] { return halvex::ui::runHubWindow(argc, argv); };
    return halvex::app::HalvexEntryPoint::run(std::vector<std::string>(argv, argv + argc), runners,
                                              std::cerr);
}

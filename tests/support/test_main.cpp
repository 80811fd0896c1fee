// The main function of every test executable: for the whole run the home folder and the desktop folders
// point into a temporary folder, so that nothing a test runs (in this process or in a program it starts)
// reads or writes the real ones, and no test reaches the desktop session's keyring. Set up here, before
// any test environment, so an environment may still point a variable elsewhere (a private session bus).

#include <gtest/gtest.h>

#include "tests/support/scoped_environment.h"
#include "tests/support/temporary_directory.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const halvex::test::TemporaryDirectory home;
    std::filesystem::create_directories(home / "home");
    const halvex::test::ScopedEnvironment isolated(std::map<std::string, std::string>{
        {"HOME", (home / "home").string()},
        {"XDG_DATA_HOME", (home / "data").string()},
        {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_CACHE_HOME", (home / "cache").string()},
        {"DBUS_SESSION_BUS_ADDRESS", ""},
    });
    return RUN_ALL_TESTS();
}

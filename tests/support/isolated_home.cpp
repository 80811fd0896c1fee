// Linked into every test executable: for the whole test run the home folder and the desktop folders
// point into a temporary folder, so that nothing a test runs (in this process or in a program it starts)
// reads or writes the real ones, and no test reaches the desktop session's keyring.

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/scoped_environment.h"
#include "tests/support/temporary_directory.h"

namespace halvex::test {
namespace {

class IsolatedHome : public testing::Environment {
  public:
    void SetUp() override {
        home_ = std::make_unique<TemporaryDirectory>();
        std::filesystem::create_directories(*home_ / "home");
        environment_ = std::make_unique<ScopedEnvironment>(std::map<std::string, std::string>{
            {"HOME", (*home_ / "home").string()},
            {"XDG_DATA_HOME", (*home_ / "data").string()},
            {"XDG_CONFIG_HOME", (*home_ / "config").string()},
            {"XDG_CACHE_HOME", (*home_ / "cache").string()},
            {"DBUS_SESSION_BUS_ADDRESS", ""},
        });
    }
    void TearDown() override {
        environment_.reset();
        home_.reset();
    }

  private:
    std::unique_ptr<TemporaryDirectory> home_;
    std::unique_ptr<ScopedEnvironment> environment_;
};

[[maybe_unused]] const auto* const registered = testing::AddGlobalTestEnvironment(new IsolatedHome);

}  // namespace
}  // namespace halvex::test

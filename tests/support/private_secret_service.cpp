#include "tests/support/private_secret_service.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/credential_store.h"

namespace halvex::test {

namespace {

template <typename Predicate>
void waitFor(Predicate ready, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error(std::string("timed out: ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

PrivateSecretService::PrivateSecretService() {
    const auto socket = folder_ / "bus";
    const auto runtime = folder_ / "run";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(folder_ / "data");
    std::ofstream(folder_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << socket.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";

    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + (folder_ / "bus.conf").string(),
                                 "--nofork", "--nopidfile"},
        std::map<std::string, std::string>{});
    waitFor([&] { return std::filesystem::exists(socket); }, "the private session bus");

    const std::string address = "unix:path=" + socket.string();
    const std::map<std::string, std::string> environment = {{"DBUS_SESSION_BUS_ADDRESS", address},
                                                            {"XDG_RUNTIME_DIR", runtime.string()},
                                                            {"XDG_DATA_HOME", (folder_ / "data").string()},
                                                            {"HOME", folder_.path().string()}};
    // --unlock reads the login keyring's password from standard input and creates the keyring.
    keyring_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
        environment, std::string("test-password"), (folder_ / "keyring.log").string());

    environment_ = std::make_unique<ScopedEnvironment>(
        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address}});
    waitFor([] { return platform::secretServiceAvailable(); }, "the Secret Service");
}

PrivateSecretService::~PrivateSecretService() {
    environment_.reset();
    keyring_->stop();
    bus_->stop();
}

}  // namespace halvex::test

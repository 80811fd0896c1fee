#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "app/agent_lock.h"
#include "app/autostart_registration.h"
#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "core/foundation/halvex_error.h"
#include "platform/file_io.h"
#include "platform/process_list.h"
#include "tests/support/child_process.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/wait.h"

namespace halvex::app {
namespace {

using State = BackgroundServiceController::State;

// Plays a platform registration: statuses come from a script, calls are recorded.
class FakeRegistration final : public BackgroundServiceRegistration {
  public:
    explicit FakeRegistration(std::vector<int> statuses) : statuses_(std::move(statuses)) {}
    int status() const override {
        const auto value = statuses_[std::min(reads_, statuses_.size() - 1)];
        ++reads_;
        return value;
    }
    void registerService() override {
        calls.push_back("register");
        if (failRegister) throw HalvexError::backgroundService("The service could not be registered.");
    }
    void unregisterService() override {
        calls.push_back("unregister");
        if (failUnregister) throw HalvexError::backgroundService("The service could not be unregistered.");
    }

    std::vector<std::string> calls;
    bool failRegister = false;
    bool failUnregister = false;

  private:
    std::vector<int> statuses_;
    mutable std::size_t reads_ = 0;
};

TEST(BackgroundServiceDecision, Table) {
    struct Row {
        const char* name;
        std::vector<int> statuses;
        bool replacing;
        State expected;
        std::vector<std::string> calls;
    };
    const std::vector<Row> table = {
        {"enabled", {1}, false, State::active(), {}},
        {"enabled, replacing", {1, 2}, true, State::requiresApproval(), {"unregister", "register"}},
        {"requires approval", {2}, false, State::requiresApproval(), {}},
        {"not found, registered", {3, 1}, false, State::active(), {"register"}},
        {"not registered, stays so",
         {0, 0},
         false,
         State::unavailable(BackgroundServiceController::notRegisteredMessage),
         {"register"}},
        {"other value",
         {7},
         false,
         State::unavailable("Check HALVEX background access in System Settings."),
         {}},
    };
    for (const auto& row : table) {
        FakeRegistration service(row.statuses);
        EXPECT_EQ(BackgroundServiceController::registerService(service, row.replacing), row.expected)
            << row.name;
        EXPECT_EQ(service.calls, row.calls) << row.name;
    }
    FakeRegistration failing({0});
    failing.failRegister = true;
    EXPECT_THROW(BackgroundServiceController::registerService(failing, false), HalvexError);
}

// A bundle laid out in a temporary Applications folder.
class ControllerTest : public testing::Test {
  protected:
    std::filesystem::path makeBundle(const std::filesystem::path& path, bool withPlist = true,
                                     bool executable = true) {
        std::filesystem::create_directories(path / "Contents" / "MacOS");
        std::filesystem::create_directories(path / "Contents" / "Library" / "LaunchAgents");
        std::ofstream(path / "Contents" / "MacOS" / "HalvexHub") << "#!/bin/sh\n";
        std::filesystem::permissions(
            path / "Contents" / "MacOS" / "HalvexHub",
            executable ? std::filesystem::perms(0755) : std::filesystem::perms(0644));
        if (withPlist)
            std::ofstream(path / "Contents/Library/LaunchAgents/com.halvex.hub.agent.plist") << "plist";
        return path;
    }

    BackgroundServiceController controller(const std::filesystem::path& bundle) {
        return BackgroundServiceController({bundle, folder / "Applications", agent, mainApp});
    }

    test::TemporaryDirectory folder;
    std::shared_ptr<FakeRegistration> agent = std::make_shared<FakeRegistration>(std::vector<int>{0, 1});
    std::shared_ptr<FakeRegistration> mainApp = std::make_shared<FakeRegistration>(std::vector<int>{1});
};

TEST_F(ControllerTest, InstallationProblems) {
    const auto apps = folder / "Applications";
    const auto good = makeBundle(apps / "HALVEX HUB.app");
    EXPECT_EQ(controller(good).installationProblem(), std::nullopt);
    EXPECT_EQ(controller(apps / "." / "HALVEX HUB.app").installationProblem(), std::nullopt);
    const std::string move = BackgroundServiceController::moveMessage;
    EXPECT_EQ(controller(makeBundle(apps / "Tools" / "X.app")).installationProblem(), move);
    EXPECT_EQ(controller(makeBundle(apps / "X.App")).installationProblem(), move);
    EXPECT_EQ(controller(makeBundle(folder / "Downloads" / "X.app")).installationProblem(), move);
    const std::string reinstall = BackgroundServiceController::reinstallMessage;
    EXPECT_EQ(controller(makeBundle(apps / "NoPlist.app", false)).installationProblem(), reinstall);
    EXPECT_EQ(controller(makeBundle(apps / "NotExecutable.app", true, false)).installationProblem(),
              reinstall);

    EXPECT_EQ(controller(folder / "Downloads" / "X.app").currentState(), State::unavailable(move));
    try {
        controller(folder / "Downloads" / "X.app").replaceRegistration();
        FAIL() << "a misplaced bundle was registered";
    } catch (const HalvexError& error) {
        EXPECT_EQ(error.kind(), HalvexError::Case::backgroundService);
        EXPECT_EQ(error.errorDescription(), move);
    }
}

TEST_F(ControllerTest, EnsureRegisteredRemovesTheAppLoginItemAndReportsFailures) {
    const auto bundle = makeBundle(folder / "Applications" / "HALVEX HUB.app");
    EXPECT_EQ(controller(bundle).ensureRegistered(), State::active());
    EXPECT_EQ(mainApp->calls, std::vector<std::string>{"unregister"});

    agent = std::make_shared<FakeRegistration>(std::vector<int>{0, 2});
    agent->failRegister = true;
    EXPECT_EQ(controller(bundle).ensureRegistered(), State::requiresApproval());
    agent = std::make_shared<FakeRegistration>(std::vector<int>{0, 0});
    agent->failRegister = true;
    EXPECT_EQ(controller(bundle).ensureRegistered(),
              State::unavailable("The service could not be registered."));
    agent = std::make_shared<FakeRegistration>(std::vector<int>{1, 0});
    EXPECT_THROW(controller(bundle).replaceRegistration(), HalvexError);
}

// The real bundle from the build, copied into a temporary Applications folder, registered through
// autostart entries in a temporary configuration folder.
class AutostartTest : public testing::Test {
  protected:
    AutostartTest() {
        const std::filesystem::path built =
            std::filesystem::path(HALVEX_HUB_EXECUTABLE).parent_path().parent_path().parent_path();
        bundle = folder / "Applications" / "HALVEX HUB.app";
        std::filesystem::create_directories(bundle.parent_path());
        std::filesystem::copy(built, bundle, std::filesystem::copy_options::recursive);
        // The agents started here find no service and go back to waiting at once.
        environment.emplace(
            std::map<std::string, std::string>{{"HOME", (folder / "home").string()},
                                               {"XDG_DATA_HOME", (folder / "data").string()},
                                               {"XDG_CONFIG_HOME", (folder / "config").string()},
                                               {"XDG_CACHE_HOME", (folder / "cache").string()},
                                               {"HVX_API_BASE_URL", "http://127.0.0.1:1"}});
        places = {bundle, folder / "config" / "autostart", folder / "data" / "Halvex"};
    }
    ~AutostartTest() override {
        // Every agent of this bundle, not only the lock holder, so that none outlives the test.
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path() / "exe", error) ==
                bundle / "Contents" / "MacOS" / "HalvexHub") {
                ::kill(std::stoi(entry.path().filename().string()), SIGKILL);
            }
        }
    }

    BackgroundServiceController controller() {
        return BackgroundServiceController(
            {bundle, folder / "Applications",
             std::make_shared<AutostartRegistration>(AutostartRegistration::agent(places)),
             std::make_shared<AutostartRegistration>(AutostartRegistration::mainApplication(places))});
    }

    std::optional<pid_t> waitForAgent(bool running) {
        test::waitUntil([&] { return AgentLock::holder(places.agentFolder).has_value() == running; });
        return AgentLock::holder(places.agentFolder);
    }

    int agentsRunning() const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code error;
            const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
            if (!error && exe == bundle / "Contents" / "MacOS" / "HalvexHub" &&
                !platform::isZombie(std::stoi(entry.path().filename().string()))) {
                ++count;
            }
        }
        return count;
    }

    test::TemporaryDirectory folder;
    std::optional<test::ScopedEnvironment> environment;
    std::filesystem::path bundle;
    AutostartRegistration::Places places;
};

TEST_F(AutostartTest, RegisteringWritesTheEntryAndStartsExactlyOneAgent) {
    EXPECT_EQ(controller().currentState(),
              State::unavailable(BackgroundServiceController::notRegisteredMessage));
    EXPECT_EQ(controller().ensureRegistered(), State::active());
    const auto entry = platform::readFile(places.autostartFolder / "com.halvex.hub.agent.desktop", 1 << 16);
    EXPECT_NE(
        entry.find("Exec=\"" + (bundle / "Contents/MacOS/HalvexHub").string() + "\" \"--background-agent\""),
        std::string::npos)
        << entry;
    const auto agent = waitForAgent(true);
    ASSERT_TRUE(agent.has_value());
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(*agent) + "/exe"),
              bundle / "Contents" / "MacOS" / "HalvexHub");

    EXPECT_EQ(controller().ensureRegistered(), State::active());
    EXPECT_NO_THROW(controller().replaceRegistration());
    // The replaced agent and any extra one started meanwhile end on their own (the lock admits one).
    test::waitUntil([&] { return agentsRunning() == 1; });
    EXPECT_EQ(agentsRunning(), 1) << "the lock keeps a second agent from staying";

    std::ofstream(places.autostartFolder / "com.halvex.hub.agent.desktop", std::ios::app) << "Hidden=true\n";
    EXPECT_EQ(controller().currentState(), State::requiresApproval());

    AutostartRegistration::agent(places).unregisterService();
    EXPECT_FALSE(std::filesystem::exists(places.autostartFolder / "com.halvex.hub.agent.desktop"));
    // The agent's lock goes with the agent: its release proves the agent stopped.
    EXPECT_EQ(waitForAgent(false), std::nullopt);
}

TEST_F(AutostartTest, ForeignEntriesAndStrangeLockHoldersAreHandledSafely) {
    std::filesystem::create_directories(places.autostartFolder);
    const auto entry = places.autostartFolder / "com.halvex.hub.agent.desktop";
    std::ofstream(entry) << "[Desktop Entry]\nExec=/usr/bin/true --background-agent\n";
    EXPECT_EQ(controller().currentState(),
              State::unavailable(BackgroundServiceController::notRegisteredMessage));
    std::ofstream(entry) << "garbage without a group";
    EXPECT_EQ(AutostartRegistration::agent(places).status(), BackgroundServiceRegistration::notFound);
    std::ofstream(entry) << "[Desktop Entry]\nExec=\"unterminated\n";
    EXPECT_EQ(AutostartRegistration::agent(places).status(), BackgroundServiceRegistration::notFound);

    // This test process holds the agent lock: stopping "the agent" must not signal it.
    test::ChildProcess bystander({"/bin/sleep", "30"}, {});
    {
        const auto lock = AgentLock::tryAcquire(places.agentFolder);
        ASSERT_TRUE(lock.has_value());
        AutostartRegistration::agent(places).stopAgent();
        EXPECT_TRUE(bystander.running());
    }
    // A lock file naming another program, held by nobody, is not a running agent.
    std::ofstream(AgentLock::path(places.agentFolder)) << bystander.pid() << "\n";
    EXPECT_EQ(AgentLock::holder(places.agentFolder), std::nullopt);
    AutostartRegistration::agent(places).stopAgent();
    EXPECT_TRUE(bystander.running());

    std::filesystem::remove(bundle / "Contents/Library/LaunchAgents/com.halvex.hub.agent.plist");
    EXPECT_EQ(controller().ensureRegistered(),
              State::unavailable(BackgroundServiceController::reinstallMessage));
    std::ofstream(bundle / "Contents/Library/LaunchAgents/com.halvex.hub.agent.plist") << "not a plist";
    EXPECT_EQ(controller().ensureRegistered().kind, State::Kind::unavailable);
}

TEST(BackgroundAgentStatusStore, WritesOneOrderedRecordAtomicallyWithPrivateMode) {
    test::TemporaryDirectory folder;
    const BackgroundAgentStatusStore store(folder / "Halvex");
    EXPECT_EQ(store.read(), std::nullopt);

    store.write({12.5, "All plugins are up to date.", std::nullopt});
    EXPECT_EQ(platform::readFile(store.file(), 1024),
              R"({"checkedAt":12.5,"message":"All plugins are up to date."})");
    EXPECT_EQ(store.read(), (BackgroundAgentStatus{12.5, "All plugins are up to date.", std::nullopt}));
    std::filesystem::permissions(store.file(), std::filesystem::perms(0666));
    const BackgroundAgentStatus failed{BackgroundAgentStatus::now(), "Update failed.",
                                       "The plugin is not signed by HALVEX."};
    store.write(failed);
    EXPECT_EQ(store.read(), failed);
    EXPECT_EQ(std::filesystem::status(store.file()).permissions(), std::filesystem::perms(0600));
    EXPECT_NEAR(failed.checkedAt,
                std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                    978307200,
                5);

    for (const char* garbage :
         {"", "{", "[]", R"({"message":"no date"})", R"({"checkedAt":"x","message":"m"})",
          R"({"checkedAt":1,"message":"m","error":3})"}) {
        std::ofstream(store.file()) << garbage;
        EXPECT_EQ(store.read(), std::nullopt) << garbage;
    }

    // Writers in several threads never leave a torn file for a reader.
    store.write(failed);
    std::atomic<bool> done = false;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 3; ++writer) {
        writers.emplace_back([&, writer] {
            for (int index = 0; index < 200; ++index)
                store.write({double(index), "writer " + std::to_string(writer), std::nullopt});
        });
    }
    int reads = 0;
    std::thread reader([&] {
        while (!done) {
            EXPECT_TRUE(store.read().has_value());
            ++reads;
        }
    });
    for (auto& writer : writers) writer.join();
    done = true;
    reader.join();
    EXPECT_GT(reads, 0);
    const BackgroundAgentStatusStore unwritable("/proc/halvex-not-here");
    EXPECT_NO_THROW(unwritable.write(failed));
}

}  // namespace
}  // namespace halvex::app

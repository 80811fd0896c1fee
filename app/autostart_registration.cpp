#include "app/autostart_registration.h"

#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "app/agent_lock.h"
#include "app/desktop_entry.h"
#include "core/foundation/halvex_error.h"
#include "platform/detached_process.h"
#include "platform/file_io.h"
#include "platform/process_list.h"
#include "platform/property_list.h"
#include "platform/standard_folders.h"

namespace halvex::app {

namespace {

constexpr const char* agentPropertyList = "Contents/Library/LaunchAgents/com.halvex.hub.agent.plist";
constexpr std::size_t maximumEntryBytes = 64 * 1024;

bool isTrue(const std::map<std::string, std::string>& keys, const std::string& key) {
    const auto found = keys.find(key);
    return found != keys.end() && found->second == "true";
}

bool isFalse(const std::map<std::string, std::string>& keys, const std::string& key) {
    const auto found = keys.find(key);
    return found != keys.end() && found->second == "false";
}

bool isOurExecutable(platform::ProcessID pid, const std::filesystem::path& executable) {
    std::error_code error;
    const auto ours = std::filesystem::weakly_canonical(executable, error);
    return !error && platform::processExecutable(pid) == ours;
}

}  // namespace

AutostartRegistration AutostartRegistration::agent(Places places) {
    return AutostartRegistration(std::move(places), "com.halvex.hub.agent", true);
}

AutostartRegistration AutostartRegistration::mainApplication(Places places) {
    return AutostartRegistration(std::move(places), "com.halvex.hub", false);
}

AutostartRegistration::Places AutostartRegistration::standardPlaces(const std::filesystem::path& bundle) {
    const auto folders = platform::standardFolders();
    return {bundle, folders.autostart, folders.installerData};
}

std::vector<std::string> AutostartRegistration::expectedCommand() const {
    if (!isAgent_) return {executable().string()};
    // The launch-agent property list names the program relative to the bundle and its arguments.
    const auto plist = platform::readPropertyList(places_.bundle / agentPropertyList);
    const auto* arguments = plist.member("ProgramArguments");
    if (arguments == nullptr || arguments->array() == nullptr || arguments->array()->empty()) {
        throw HalvexError::backgroundService(
            "Reinstall HALVEX HUB to restore its missing background service files.");
    }
    std::vector<std::string> command = {executable().string()};
    for (std::size_t index = 1; index < arguments->array()->size(); ++index) {
        const auto* text = (*arguments->array())[index].string();
        if (text == nullptr) {
            throw HalvexError::backgroundService(
                "Reinstall HALVEX HUB to restore its missing background service files.");
        }
        command.push_back(*text);
    }
    return command;
}

int AutostartRegistration::status() const {
    std::string text;
    try {
        text = platform::readFile(entryPath(), maximumEntryBytes);
    } catch (const std::system_error& error) {
        return error.code().value() == ENOENT ? notRegistered : notFound;
    }
    const auto keys = desktop_entry::entryKeys(text);
    if (!keys) return notFound;
    if (isTrue(*keys, "Hidden") || isFalse(*keys, "X-GNOME-Autostart-enabled")) return requiresApproval;
    const auto exec = keys->find("Exec");
    const auto command = exec == keys->end() ? std::nullopt : desktop_entry::execArguments(exec->second);
    if (!command || ::access(command->front().c_str(), X_OK) != 0) return notFound;
    try {
        return *command == expectedCommand() ? enabled : notFound;
    } catch (const std::exception&) {
        return notFound;
    }
}

void AutostartRegistration::registerService() {
    const auto command = expectedCommand();
    const auto exec = desktop_entry::execValue(command);
    if (!exec) {
        throw HalvexError::backgroundService(
            "HALVEX HUB cannot register its background service from a folder whose name holds control "
            "characters or invalid text.");
    }
    std::string entry = "[Desktop Entry]\nType=Application\nName=HALVEX HUB";
    entry += isAgent_ ? " Background Agent\n" : "\n";
    entry += "Exec=" + *exec + "\n";
    entry += isAgent_ ? "NoDisplay=true\n" : "";
    entry += "X-GNOME-Autostart-enabled=true\n";
    platform::createDirectories(places_.autostartFolder, 0700);
    platform::writeFileAtomically(entryPath(), entry, 0644);
    ensureRunning();
}

void AutostartRegistration::unregisterService() {
    std::error_code error;
    std::filesystem::remove(entryPath(), error);
    if (error) platform::throwErrno(error.value(), "remove " + entryPath().string());
    if (isAgent_) stopAgent();
}

void AutostartRegistration::ensureRunning() const {
    if (!isAgent_ || AgentLock::holder(places_.agentFolder)) return;
    auto command = expectedCommand();
    const std::filesystem::path program = command.front();
    command.erase(command.begin());
    platform::startDetached(program, command);
}

void AutostartRegistration::stopAgent() const {
    const auto pid = AgentLock::holder(places_.agentFolder);
    // A pid in the lock file proves nothing by itself; only our own agent is ever signalled.
    if (!pid || !isOurExecutable(*pid, executable())) return;
    platform::signalProcess(*pid, platform::ProcessSignal::terminate);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (AgentLock::holder(places_.agentFolder) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace halvex::app

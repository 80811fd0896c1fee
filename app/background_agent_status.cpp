#include "app/background_agent_status.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "platform/standard_folders.h"

namespace halvex::app {

namespace {

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr double referenceDateUnixSeconds = 978'307'200;
constexpr std::size_t maximumStatusBytes = 1024 * 1024;

}  // namespace

double BackgroundAgentStatus::now() {
    const auto unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return unix - referenceDateUnixSeconds;
}

BackgroundAgentStatusStore::BackgroundAgentStatusStore()
    : folder_(platform::standardFolders().installerData) {}

void BackgroundAgentStatusStore::write(const BackgroundAgentStatus& status) const {
    try {
        // Ordered, so the members appear as checkedAt, message, error.
        nlohmann::ordered_json record = {{"checkedAt", status.checkedAt}, {"message", status.message}};
        if (status.error) record["error"] = *status.error;
        const auto bytes = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        platform::createDirectories(folder_, 0700);
        platform::writeFileAtomically(file(), bytes, 0600);
    } catch (const std::exception&) {
        // A report that cannot be written changes nothing the agent must do; the next one may succeed.
    }
}

std::optional<BackgroundAgentStatus> BackgroundAgentStatusStore::read() const {
    try {
        const auto record = nlohmann::json::parse(platform::readFile(file(), maximumStatusBytes));
        const auto checkedAt = record.at("checkedAt");
        const auto message = record.at("message");
        if (!checkedAt.is_number() || !message.is_string()) return std::nullopt;
        BackgroundAgentStatus status{checkedAt.get<double>(), message.get<std::string>(), std::nullopt};
        if (const auto error = record.find("error"); error != record.end() && !error->is_null()) {
            if (!error->is_string()) return std::nullopt;
            status.error = error->get<std::string>();
        }
        return status;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace halvex::app

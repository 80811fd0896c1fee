// HalvexCtl: the read-only commands, status and list, as text for people and as JSON for scripts.

#include <ctime>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>

#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "app/library/product_outlook.h"
#include "core/library/library_search.h"
#include "ctl/halvex_ctl.h"

namespace halvex::ctl {

namespace {

using JSON = nlohmann::json;

// Status records count seconds from 2001-01-01 00:00:00 UTC.
constexpr double referenceDateOffset = 978307200;

std::string isoTime(double checkedAt) {
    const auto seconds = static_cast<std::time_t>(checkedAt + referenceDateOffset);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

JSON optionalJSON(const std::optional<std::string>& value) {
    return value ? JSON(*value) : JSON(nullptr);
}

const char* stateName(app::BackgroundServiceController::State::Kind kind) {
    switch (kind) {
        case app::BackgroundServiceController::State::Kind::active:
            return "active";
        case app::BackgroundServiceController::State::Kind::requiresApproval:
            return "requires_approval";
        case app::BackgroundServiceController::State::Kind::unavailable:
            return "unavailable";
    }
    return "unavailable";
}

// A version read from a bundle on disk may hold any bytes: those that are not UTF-8 print as U+FFFD
// rather than failing the whole report.
std::string jsonText(const JSON& value) {
    return value.dump(2, ' ', false, JSON::error_handler_t::replace);
}

// Where a product stands and what its row offers next, the same words for every front end.
void addOutlook(JSON& record, const Catalog& catalog, const Product& product,
                const app::ProductState& state) {
    record["status"] = std::string(app::statusName(app::productStatus(catalog, product, state)));
    const auto next = app::nextAction(catalog, product, state);
    record["action"] = std::string(app::actionName(next.kind));
    record["action_version"] = next.release ? JSON(next.release->version) : JSON(nullptr);
}

std::string orNone(const JSON& value) {
    return value.is_null() ? std::string("-") : value.get<std::string>();
}

}  // namespace

JSON HalvexCtl::hubReport() {
    auto& library = this->library();
    JSON hub = {{"version", library.hubVersion()}, {"newer_version", nullptr}, {"check_error", nullptr}};
    try {
        if (const auto newer = library.hubUpdater().availableRelease(stop_))
            hub["newer_version"] = newer->version;
    } catch (const std::exception& error) {
        hub["check_error"] = error.what();
    }
    return hub;
}

JSON HalvexCtl::productsReport() {
    JSON products = JSON::array();
    const auto& current = catalog();
    const auto states = library().scan(current);
    for (const auto& product : current.products) {
        const auto& state = app::stateOf(states, product.productID);
        if (!state.installed() && !state.held() && !state.pendingVersion && !state.revertVersion) continue;
        const auto offered = app::offeredUpdate(current, product, state);
        const auto held = state.held() && !state.heldVersion->empty() ? state.heldVersion : std::nullopt;
        products.push_back({{"product_id", product.productID},
                            {"name", product.name},
                            {"installed_version", optionalJSON(state.installedVersion)},
                            {"channel", optionalJSON(state.installedChannel)},
                            {"pending_version", optionalJSON(state.pendingVersion)},
                            {"available_update", offered ? JSON(offered->version) : JSON(nullptr)},
                            {"held", state.held()},
                            {"held_version", optionalJSON(held)},
                            {"revert_version", optionalJSON(state.revertVersion)},
                            {"complete", !state.incomplete}});
        addOutlook(products.back(), current, product, state);
    }
    return products;
}

ExitCode HalvexCtl::status(const CtlCommand& command) {
    auto& library = this->library();
    JSON report = {{"schema", 1}};
    const bool signedIn = library.client().hasCredential();
    report["signed_in"] = signedIn;
    report["hub"] = hubReport();
    const auto& hub = report["hub"];

    const auto state = app::BackgroundServiceController::forRunningBundle().currentState();
    JSON agent = {{"state", stateName(state.kind)},
                  {"message", state.message.empty() ? JSON(nullptr) : JSON(state.message)},
                  {"last_report", nullptr}};
    if (const auto last =
            app::BackgroundAgentStatusStore(library.installer().folders().applicationSupport).read()) {
        agent["last_report"] = {{"checked_at", isoTime(last->checkedAt)},
                                {"message", last->message},
                                {"error", optionalJSON(last->error)}};
    }
    report["agent"] = agent;
    report["products"] = signedIn ? productsReport() : JSON::array();
    const auto& products = report["products"];

    if (command.json) {
        output_.out << jsonText(report) << "\n";
        return ExitCode::done;
    }
    auto& out = output_.out;
    out << (signedIn ? "Signed in." : "Not signed in (halvexctl sign-in).") << "\n";
    out << "HALVEX HUB " << library.hubVersion();
    if (!hub["newer_version"].is_null())
        out << " (" << hub["newer_version"].get<std::string>() << " is available)";
    if (!hub["check_error"].is_null())
        out << " (update check failed: " << hub["check_error"].get<std::string>() << ")";
    out << "\nBackground agent: " << stateName(state.kind)
        << (state.message.empty() ? "" : " — " + state.message) << "\n";
    if (!agent["last_report"].is_null()) {
        const auto& last = agent["last_report"];
        out << "Last agent report (" << last["checked_at"].get<std::string>()
            << "): " << last["message"].get<std::string>();
        if (!last["error"].is_null()) out << " Error: " << last["error"].get<std::string>();
        out << "\n";
    }
    for (const auto& product : products) {
        out << product["name"].get<std::string>() << ": " << orNone(product["installed_version"]);
        if (!product["channel"].is_null()) out << " (" << product["channel"].get<std::string>() << ")";
        if (!product["pending_version"].is_null())
            out << ", " << product["pending_version"].get<std::string>()
                << " waits for the audio hosts to quit";
        if (!product["available_update"].is_null())
            out << ", update " << product["available_update"].get<std::string>() << " available";
        if (product["held"].get<bool>()) out << ", held at " << orNone(product["held_version"]);
        if (!product["complete"].get<bool>()) out << ", incomplete";
        if (!product["revert_version"].is_null())
            out << ", " << product["revert_version"].get<std::string>() << " kept for revert";
        out << "\n";
    }
    return ExitCode::done;
}

ExitCode HalvexCtl::list(const CtlCommand& command) {
    const auto& current = catalog();
    const auto states = library().scan(current);
    std::set<std::string> installed;
    for (const auto& [productID, state] : states) {
        if (state.installed()) installed.insert(productID);
    }
    const auto scope = *libraryScope(command.scope);
    JSON products = JSON::array();
    for (const auto& product : LibrarySearch::filter(current.products, scope, installed, std::nullopt,
                                                     std::nullopt, command.search)) {
        const auto release = current.installableRelease(product);
        const auto& state = app::stateOf(states, product.productID);
        products.push_back({{"product_id", product.productID},
                            {"slug", product.slug},
                            {"name", product.name},
                            {"category", product.presentation().category},
                            {"owned", product.owned},
                            {"access_source", optionalJSON(product.accessSource)},
                            {"installed_version", optionalJSON(state.installedVersion)},
                            {"available_version", release ? JSON(release->version) : JSON(nullptr)},
                            {"held", state.held()}});
        addOutlook(products.back(), current, product, state);
    }
    if (command.json) {
        output_.out << jsonText(JSON{{"schema", 1}, {"scope", command.scope}, {"products", products}})
                    << "\n";
        return ExitCode::done;
    }
    for (const auto& product : products) {
        output_.out << product["name"].get<std::string>() << " (" << product["product_id"].get<std::string>()
                    << ") · " << product["category"].get<std::string>() << " · ";
        if (!product["installed_version"].is_null()) {
            output_.out << "installed " << product["installed_version"].get<std::string>();
        } else {
            output_.out << (product["owned"].get<bool>() ? "not installed" : "not owned");
        }
        if (!product["available_version"].is_null())
            output_.out << " · release " << product["available_version"].get<std::string>();
        if (product["held"].get<bool>()) output_.out << " · held";
        output_.out << "\n";
    }
    if (products.empty()) output_.out << "No products match.\n";
    return ExitCode::done;
}

}  // namespace halvex::ctl

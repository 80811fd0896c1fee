#pragma once

// What the library's presentation rules read: a snapshot of the model's published state plus the window's
// own scope and search text. Plain values and one borrowed catalogue; build it on the main thread and
// evaluate the rules there, while the catalogue it points to is alive.

#include <map>
#include <optional>
#include <set>
#include <string>

#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "core/library/library_scope.h"
#include "core/library/library_search_index.h"
#include "core/service/catalog.h"

namespace halvex::app {

enum class PhaseCase { loading, signedOut, authorizing, updating, blocked, ready };

struct LibraryState {
    const Catalog* catalog = nullptr;
    // Built from `catalog->products`; without it the rules fold the search texts on every call.
    const LibrarySearchIndex* searchIndex = nullptr;
    std::map<std::string, std::string> installedVersions;
    std::map<std::string, std::string> installedChannels;
    std::map<std::string, std::string> pendingVersions;
    std::set<std::string> incompleteProducts;
    // Product identifier -> the version it is held at (empty when unknown).
    std::map<std::string, std::string> heldVersions;
    // Product identifier -> the version a revert would put back.
    std::map<std::string, std::string> revertVersions;
    PhaseCase phase = PhaseCase::loading;
    // The installation state of a newly loaded catalogue is being read for the first time.
    bool checkingInstallations = false;
    // The product being installed while `phase` is `updating`.
    std::string updatingProductID;
    BackgroundServiceController::State backgroundServiceState;
    std::optional<BackgroundAgentStatus> backgroundStatus;
    LibraryScope scope = LibraryScope::all;
    std::string query;

    std::optional<std::string> installedVersion(const std::string& productID) const {
        const auto found = installedVersions.find(productID);
        return found == installedVersions.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> pendingVersion(const std::string& productID) const {
        const auto found = pendingVersions.find(productID);
        return found == pendingVersions.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> heldVersion(const std::string& productID) const {
        const auto found = heldVersions.find(productID);
        return found == heldVersions.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> revertVersion(const std::string& productID) const {
        const auto found = revertVersions.find(productID);
        return found == revertVersions.end() ? std::nullopt : std::optional(found->second);
    }
    // The catalogue's installable release (for a private product the beta), none without a catalogue.
    std::optional<Release> publicRelease(const Product& product) const {
        return catalog ? catalog->installableRelease(product) : std::nullopt;
    }
    std::optional<Release> testRelease(const Product& product) const {
        return catalog ? catalog->testRelease(product) : std::nullopt;
    }
};

}  // namespace halvex::app

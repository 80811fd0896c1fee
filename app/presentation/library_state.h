#pragma once

// What the library's presentation rules read: a snapshot of the model's published state plus the window's
// own scope and search text. Plain values and one borrowed catalogue; build it on the main thread and
// evaluate the rules there, while the catalogue it points to is alive.

#include <optional>
#include <string>

#include "app/background_agent_status.h"
#include "app/background_service_controller.h"
#include "app/library/phase.h"
#include "app/library/product_state.h"
#include "core/library/library_scope.h"
#include "core/library/library_search_index.h"
#include "core/service/catalog.h"

namespace halvex::app {

struct LibraryState {
    const Catalog* catalog = nullptr;
    // Built from `catalog->products`; without it the rules fold the search texts on every call.
    const LibrarySearchIndex* searchIndex = nullptr;
    // What this computer holds of each product, by product identifier.
    ProductStates products;
    Phase phase;
    // The installation state of a newly loaded catalogue is being read for the first time.
    bool checkingInstallations = false;
    BackgroundServiceController::State backgroundServiceState;
    std::optional<BackgroundAgentStatus> backgroundStatus;
    LibraryScope scope = LibraryScope::all;
    std::string query;

    const ProductState& product(const std::string& productID) const { return stateOf(products, productID); }
    // The catalogue's installable release (for a private product the beta), none without a catalogue.
    std::optional<Release> publicRelease(const Product& product) const {
        return catalog ? catalog->installableRelease(product) : std::nullopt;
    }
    std::optional<Release> testRelease(const Product& product) const {
        return catalog ? catalog->testRelease(product) : std::nullopt;
    }
};

}  // namespace halvex::app

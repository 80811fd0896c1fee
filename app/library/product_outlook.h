#pragma once

// Where a product stands and what its row offers to do next: one rule for every front end. The window
// words them in its rows, halvexctl reports them as "status" and "action". Pure functions: any thread may
// call them.

#include <optional>
#include <string_view>

#include "app/library/product_state.h"
#include "core/service/catalog.h"

namespace halvex::app {

// First match: not owned; held; an update staged; not installed; formats missing; an update offered
// (offeredUpdate); up to date.
enum class ProductStatus {
    notOwned,
    held,
    updateStaged,
    notInstalled,
    incomplete,
    updateAvailable,
    upToDate
};

// "not_owned", "held", "update_staged", "not_installed", "incomplete", "update_available", "up_to_date".
std::string_view statusName(ProductStatus status);

ProductStatus productStatus(const Catalog& catalog, const Product& product, const ProductState& state);

// The release a row's main action installs: a newer release, or a repair of the installed public version
// unless a staged update already covers it. Equal versions prefer the public ("stable") release. With
// nothing installed, the public release, else the test release.
std::optional<Release> primaryRelease(const std::optional<Release>& publicRelease,
                                      const std::optional<Release>& testRelease, const ProductState& state);

struct NextAction {
    // First match: purchase when not owned; release a hold; restart the audio hosts for a staged update;
    // install, update to or repair the primary release; nothing.
    enum class Kind { purchase, releaseHold, restartHosts, install, update, repair, none };
    Kind kind = Kind::none;
    std::optional<Release> release;  // for install, update and repair
    bool operator==(const NextAction&) const = default;
};

// "purchase", "release_hold", "restart_hosts", "install", "update", "repair", "none".
std::string_view actionName(NextAction::Kind kind);

NextAction nextAction(const Catalog& catalog, const Product& product, const ProductState& state);

}  // namespace halvex::app

#pragma once

// One library row's texts and actions: the status line, the primary release with its action, and the
// secondary link to the other channel. Pure functions of a LibraryState; main thread (see library_state.h).

#include <optional>
#include <string>
#include <vector>

#include "app/library/product_outlook.h"
#include "app/presentation/library_state.h"
#include "core/install/plugin_installer.h"

namespace halvex::app {

// The row's words for where the product stands (productStatus): the access label followed by the
// installation state, e.g. "Purchased · Public 1.2.0 installed", or "Purchased · Held at 1.1.0" for a held
// product.
std::string statusText(const LibraryState& state, const Product& product);

// "Install public 1.2.0", "Repair test 1.3.0-beta.1", "Update to private beta 0.9.0", ...
std::string releaseActionTitle(const LibraryState& state, const Release& release,
                               const std::optional<std::string>& installed);

struct ProductAction {
    enum class Kind {
        purchase,        // button "Purchase", enabled for an https purchase URL on the store's host
        installing,      // a progress indicator in place of a button
        restartDAW,      // the label "Restart DAW" in the signal colour
        install,         // a prominent button `title` that installs `release`
        releasePending,  // the muted text "Release pending"
        installed,       // "Up to date" or "Installed" with a check mark
        releaseHold,     // a button "Release" that ends the product's hold
    };
    Kind kind = Kind::releasePending;
    std::string title;
    std::optional<Release> release;
    bool enabled = true;
    bool operator==(const ProductAction&) const = default;
};

// The row's control for the product's next action (nextAction), or a progress indicator while it is being
// installed. A held product's action is "Release": it offers no installation until the hold ends.
ProductAction productAction(const LibraryState& state, const Product& product);

// The product overview's controls over what is on this computer, in this order when present:
// - "Revert to V" when a previous version V is kept (installed or not);
// - "Hold at V" for an installed product that is not held, or "Release" for a held one;
// - "Uninstall" for an installed product.
// Revert, Hold and Uninstall ask for a confirmation first; Release acts at once. All are disabled while
// an installation runs.
struct ManagementControl {
    enum class Kind { revert, hold, releaseHold, uninstall };
    Kind kind = Kind::revert;
    std::string title;
    bool enabled = true;
    // The confirmation dialog's title, message and confirming button; empty when none is asked.
    std::string confirmationTitle;
    std::string confirmationMessage;
    std::string confirmationButton;
    bool operator==(const ManagementControl&) const = default;
};

std::vector<ManagementControl> managementControls(const LibraryState& state, const Product& product);

struct SecondaryLink {
    std::string title;
    std::string helpText;
    Release release;
    bool operator==(const SecondaryLink&) const = default;
};

// At most one link that installs the other channel's release. None while the row's action is a purchase,
// a running installation or a staged update. Otherwise, first match:
// 1. "Return to private beta V": a private product whose installed version is newer than its test release
//    (a build from outside the invitation channel), when that test release is not already the primary.
// 2. "Return to public V": a public product with a "stable" public release whose version is installed-
//    older (the installation is ahead on the test channel: it runs the test release or something newer
//    than the public one), when the public release is not already the primary.
// 3. "Use test V": a public product whose test release is newer than its public release (or there is no
//    public release) and newer than what is installed, when the test release is not the primary.
std::optional<SecondaryLink> secondaryLink(const LibraryState& state, const Product& product);

// The line under an installing row's progress bar: "Preparing…" until the size is known, "21.4 of
// 48.0 MB · 6.2 MB/s" while downloading (the rate once one is measured; decimal megabytes, as file
// managers show them), then "Verifying…" and "Installing…".
std::string installProgressText(const PluginInstaller::Progress& progress, double bytesPerSecond);

}  // namespace halvex::app

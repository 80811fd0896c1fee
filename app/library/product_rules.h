#pragma once

// The product rules every front end shares: which update is due and which is offered, whether a release
// may be installed now (with the sentence the user sees when not), and the texts that report staged
// updates and Update All. Pure functions: any thread may call them.

#include <optional>
#include <string>
#include <vector>

#include "app/library/product_state.h"
#include "core/service/catalog.h"

namespace halvex::app {

// The update due for an installed product: the catalogue's release for its version and channel when it
// is newer, or the same version when formats are missing. None for a product that is not installed.
// Holds and staged updates are left aside.
std::optional<Release> dueUpdate(const Catalog& catalog, const Product& product, const ProductState& state);

// The update the library offers to install: a due update of an owned product that is neither held nor has
// one staged (a staged update finishes by itself; a held product stays at its version).
std::optional<Release> offeredUpdate(const Catalog& catalog, const Product& product,
                                     const ProductState& state);
// Every offered update, in catalogue order.
std::vector<Release> offeredUpdates(const Catalog& catalog, const ProductStates& states);

// Whether `release` needs a newer hub than `hubVersion`.
bool needsNewerHub(const Release& release, const std::string& hubVersion);

// Throws HalvexError::backgroundService with the sentence the user sees when nothing of `product` may be
// installed now: not in the library (null) or not owned, or held.
void requireMayInstall(const Product* product, const ProductState& state);
// The same for `release` of `product`, which may also be made for a newer hub.
void requireInstallable(const Product* product, const ProductState& state, const Release& release,
                        const std::string& hubVersion);

// The running hosts to restart, by name: audio engines left out, each named once, in order, joined with
// " and "; "your DAW" when none remain.
std::string hostText(const std::vector<std::string>& runningHosts);

// "<name> <version> is downloaded and verified. Restart <hosts> to finish the update and use the latest
// version."
std::string stagedUpdateNotice(const Release& release, const std::vector<std::string>& runningHosts);

// The line that ends Update All: how many updates were installed, or, when some wait for the audio
// hosts, how many are staged.
std::string updateAllSummary(int installed, int staged);

}  // namespace halvex::app

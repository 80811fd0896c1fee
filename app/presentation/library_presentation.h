#pragma once

// The library list's texts: which products show, the section headings with their counts, the empty state,
// and the toolbar's update summary. Pure functions of a LibraryState; main thread (see library_state.h).

#include <optional>
#include <string>
#include <vector>

#include "app/presentation/library_state.h"

namespace halvex::app {

// The catalogue's products in the selected scope that match the search text, in catalogue order. The
// pointers are into `state.catalog`.
std::vector<const Product*> filteredProducts(const LibraryState& state);

struct SectionHeading {
    std::string title;
    int count = 0;
    int total = 0;
    bool operator==(const SectionHeading&) const = default;
};

int sectionTotal(const LibraryState& state);
// The heading above the rows: absent in the discover scope, whose rows sit under the discovery heading.
std::optional<SectionHeading> librarySectionHeading(const LibraryState& state, int count);
// "Discover your next sound" over the rows of the discover scope, counting them. In the other scopes
// "Explore more" closes the list: its count is the catalogue's products the user does not own yet, the
// ones the discover scope would show.
SectionHeading discoverySectionHeading(const LibraryState& state, int count);
// The count, " of " and the total, as the heading shows them.
std::string sectionCountText(const SectionHeading& heading);

// What the library shows above its rows besides their heading. While a newly loaded catalogue's
// installation state is read, "Checking your plugins…", whichever phase led there (the start's loading,
// the sign-in's authorizing, a blocked start's retry); otherwise a blocked phase's banner.
enum class LibraryBanner { none, checkingPlugins, blocked };
LibraryBanner libraryBanner(const LibraryState& state);

std::string emptyLibraryTitle(const LibraryState& state);
std::string emptyLibraryMessage(const LibraryState& state);

// Which card the sidebar shows for NOVA ACCESS. A subscription whose status is "active", "trialing" or
// "payment_grace" is shown; otherwise an offer, when the catalogue has one, invites the user to subscribe
// (so a lapsed subscription with an offer shows the offer); otherwise no card.
enum class SubscriptionCard { none, active, paymentGrace, offer };
SubscriptionCard subscriptionCard(const LibraryState& state);

enum class ColourRole { shell, panel, raised, recess, edge, ink, muted, signal, warning, error };

struct UpdateSummary {
    std::string title;
    std::string iconName;  // a system symbol name; the window maps it to its icon font
    ColourRole colour = ColourRole::signal;
    std::string accessibilityLabel() const { return title + ". Show details"; }
    bool operator==(const UpdateSummary&) const = default;
};

UpdateSummary updateSummary(const LibraryState& state);

}  // namespace halvex::app

#pragma once

// What this computer holds of one catalogue product, as one record: the installed version and the
// channel its receipt names, a verified update staged behind running audio hosts, a hold, the version
// kept for revert, and whether formats of the installed release are missing. The library service's scan
// fills it; the window, halvexctl and the agent read it. What the catalogue says of the product
// (ownership, releases) stays on its Product and Release records.
//
// Plain values: any thread may build, copy and read them.

#include <map>
#include <optional>
#include <string>

namespace halvex::app {

struct ProductState {
    std::optional<std::string> installedVersion;
    std::optional<std::string> installedChannel;
    // A verified update waiting for the audio hosts to quit.
    std::optional<std::string> pendingVersion;
    // Present while the product is held: the version it is held at, empty when its record is unreadable.
    std::optional<std::string> heldVersion;
    // The version a revert would put back.
    std::optional<std::string> revertVersion;
    // The installed version is the catalogue's, but some of its formats are missing or older.
    bool incomplete = false;

    bool installed() const { return installedVersion.has_value(); }
    bool held() const { return heldVersion.has_value(); }
    bool operator==(const ProductState&) const = default;
};

// By product identifier.
using ProductStates = std::map<std::string, ProductState>;

// The record of `productID`, or an empty one (nothing of it on this computer).
inline const ProductState& stateOf(const ProductStates& states, const std::string& productID) {
    static const ProductState none;
    const auto found = states.find(productID);
    return found == states.end() ? none : found->second;
}

}  // namespace halvex::app

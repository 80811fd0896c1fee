#pragma once

// Where the service lives and whom the system trusts. Built once per process mode (and once per agent
// cycle); immutable afterwards.

#include <string>
#include <vector>

#include "core/foundation/bundle.h"
#include "core/foundation/url.h"
#include "platform/process_environment.h"

namespace halvex {

struct HalvexConfiguration {
    Url apiBaseURL;
    // The maker's code-signing team: 10 upper-case letters or digits.
    std::string signingTeamID;
    // PEM of the service's P-256 key that signs release manifests.
    std::string releasePublicKeyPEM;
    // PEM certificates a bundle seal must chain to.
    std::vector<std::string> codeSigningAnchorsPEM;

    // Resolves the base URL from HVX_API_BASE_URL, else the bundle's HVXAPIBaseURL string, else the
    // built-in URL; the trust values are the compiled-in ones. Throws HalvexError::configuration with
    // "HALVEX HUB is missing its API URL." when the chosen text is empty or not a URL.
    static HalvexConfiguration bundled(const Bundle& bundle, const platform::Environment& environment);
};

}  // namespace halvex

#include "core/foundation/halvex_configuration.h"

#include "core/foundation/halvex_error.h"
#include "halvex/build_constants.h"
#include "halvex/trust_constants.h"

namespace halvex {

namespace {

std::string chosenBaseURL(const Bundle& bundle, const platform::Environment& environment) {
    if (const auto value = environment.find("HVX_API_BASE_URL"); value != environment.end())
        return value->second;
    if (auto value = bundle.infoString("HVXAPIBaseURL")) return *value;
    return build::apiBaseURL;
}

}  // namespace

HalvexConfiguration HalvexConfiguration::bundled(const Bundle& bundle,
                                                 const platform::Environment& environment) {
    auto url = Url::parse(chosenBaseURL(bundle, environment));
    if (!url) throw HalvexError::configuration("HALVEX HUB is missing its API URL.");
    return HalvexConfiguration{
        std::move(*url), build::signingTeamID, build::releasePublicKeyPEM, {build::codeSigningAnchorPEM}};
}

}  // namespace halvex

#include "core/foundation/halvex_error.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

struct Described {
    HalvexError error;
    HalvexError::Case kind;
    const char* text;
};

TEST(HalvexError, EveryCaseCarriesItsCaseAndExactText) {
    const std::vector<Described> table = {
        {HalvexError::configuration("HALVEX HUB is missing its API URL."), HalvexError::Case::configuration,
         "HALVEX HUB is missing its API URL."},
        {HalvexError::server(503, "Service Unavailable"), HalvexError::Case::server, "Service Unavailable"},
        {HalvexError::invalidPackage("Bad."), HalvexError::Case::invalidPackage, "Bad."},
        {HalvexError::dawIsRunning({"REAPER", "Bitwig Studio"}), HalvexError::Case::dawIsRunning,
         "Close these audio applications before installing: REAPER, Bitwig Studio."},
        {HalvexError::dawIsRunning({"REAPER"}), HalvexError::Case::dawIsRunning,
         "Close these audio applications before installing: REAPER."},
        {HalvexError::installationAuthorization("The administrator request could not be created."),
         HalvexError::Case::installationAuthorization,
         "Administrator authorization is required to make HALVEX plugins available to every DAW. The "
         "administrator "
         "request could not be created."},
        {HalvexError::backgroundService("Move it."), HalvexError::Case::backgroundService, "Move it."},
        {HalvexError::invalidResponse(), HalvexError::Case::invalidResponse,
         "The server returned an invalid response."},
        {HalvexError::authorizationExpired(), HalvexError::Case::authorizationExpired,
         "The authorization expired. Please try again."},
        {HalvexError::invalidSignature(), HalvexError::Case::invalidSignature,
         "The HALVEX signature is invalid."},
        {HalvexError::hashMismatch(), HalvexError::Case::hashMismatch,
         "The downloaded update did not match its signed checksum."},
        {HalvexError::signatureRejected(), HalvexError::Case::signatureRejected,
         "The plugin is not signed by HALVEX."},
        {HalvexError::updateInProgress(), HalvexError::Case::updateInProgress,
         "Another HALVEX update is already running."},
        {HalvexError::unsafeSignInAddress(), HalvexError::Case::unsafeSignInAddress,
         "The HALVEX service sent a sign-in page address that is not a secure web address, so it was not "
         "opened. Please try again later."},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.error.kind(), row.kind);
        EXPECT_EQ(row.error.errorDescription(), row.text);
        EXPECT_STREQ(row.error.what(), row.text);
    }
}

TEST(HalvexError, PayloadsSurviveForCallersToBranchOn) {
    const auto server = HalvexError::server(401, "Unauthorized");
    EXPECT_EQ(server.status(), 401);
    EXPECT_EQ(server.message(), "Unauthorized");
    EXPECT_EQ(HalvexError::dawIsRunning({"A", "B"}).names(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(HalvexError::installationAuthorization("detail").message(), "detail");
}

}  // namespace
}  // namespace halvex

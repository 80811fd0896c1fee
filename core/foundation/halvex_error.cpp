#include "core/foundation/halvex_error.h"

namespace halvex {

namespace {

std::string joined(const std::vector<std::string>& names, const std::string& separator) {
    std::string result;
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (index > 0) result += separator;
        result += names[index];
    }
    return result;
}

std::string describe(HalvexError::Case kind, const std::string& message,
                     const std::vector<std::string>& names) {
    using Case = HalvexError::Case;
    switch (kind) {
        case Case::configuration:
        case Case::server:
        case Case::invalidPackage:
        case Case::backgroundService:
            return message;
        case Case::dawIsRunning:
            return "Close these audio applications before installing: " + joined(names, ", ") + ".";
        case Case::installationAuthorization:
            return "Administrator authorization is required to make HALVEX plugins available to every DAW. " +
                   message;
        case Case::invalidResponse:
            return "The server returned an invalid response.";
        case Case::authorizationExpired:
            return "The authorization expired. Please try again.";
        case Case::invalidSignature:
            return "The HALVEX signature is invalid.";
        case Case::hashMismatch:
            return "The downloaded update did not match its signed checksum.";
        case Case::signatureRejected:
            return "The plugin is not signed by HALVEX.";
        case Case::updateInProgress:
            return "Another HALVEX update is already running.";
        case Case::unsafeSignInAddress:
            return "The HALVEX service sent a sign-in page address that is not a secure web address, so it "
                   "was not opened. Please try again later.";
    }
    return {};
}

}  // namespace

HalvexError::HalvexError(Case kind, std::string message, int status, std::vector<std::string> names)
    : kind_(kind),
      message_(std::move(message)),
      status_(status),
      names_(std::move(names)),
      description_(describe(kind_, message_, names_)) {}

HalvexError HalvexError::configuration(std::string message) {
    return {Case::configuration, std::move(message), 0, {}};
}
HalvexError HalvexError::server(int status, std::string message) {
    return {Case::server, std::move(message), status, {}};
}
HalvexError HalvexError::invalidPackage(std::string message) {
    return {Case::invalidPackage, std::move(message), 0, {}};
}
HalvexError HalvexError::dawIsRunning(std::vector<std::string> names) {
    return {Case::dawIsRunning, {}, 0, std::move(names)};
}
HalvexError HalvexError::installationAuthorization(std::string detail) {
    return {Case::installationAuthorization, std::move(detail), 0, {}};
}
HalvexError HalvexError::backgroundService(std::string message) {
    return {Case::backgroundService, std::move(message), 0, {}};
}
HalvexError HalvexError::invalidResponse() {
    return {Case::invalidResponse, {}, 0, {}};
}
HalvexError HalvexError::authorizationExpired() {
    return {Case::authorizationExpired, {}, 0, {}};
}
HalvexError HalvexError::invalidSignature() {
    return {Case::invalidSignature, {}, 0, {}};
}
HalvexError HalvexError::hashMismatch() {
    return {Case::hashMismatch, {}, 0, {}};
}
HalvexError HalvexError::signatureRejected() {
    return {Case::signatureRejected, {}, 0, {}};
}
HalvexError HalvexError::updateInProgress() {
    return {Case::updateInProgress, {}, 0, {}};
}
HalvexError HalvexError::unsafeSignInAddress() {
    return {Case::unsafeSignInAddress, {}, 0, {}};
}

}  // namespace halvex

#pragma once

// The one error type of the system. Every failure the system itself detects is a HalvexError whose
// errorDescription() is exactly the sentence the user sees; callers branch on kind(), never on the text.

#include <exception>
#include <string>
#include <vector>

namespace halvex {

class HalvexError : public std::exception {
  public:
    // Declaration order is part of the contract (it is the error code printed by the process entry).
    enum class Case {
        configuration,
        server,
        invalidPackage,
        dawIsRunning,
        installationAuthorization,
        backgroundService,
        invalidResponse,
        authorizationExpired,
        invalidSignature,
        hashMismatch,
        signatureRejected,
        updateInProgress,
        unsafeSignInAddress,
    };

    static HalvexError configuration(std::string message);
    static HalvexError server(int status, std::string message);
    static HalvexError invalidPackage(std::string message);
    static HalvexError dawIsRunning(std::vector<std::string> names);
    static HalvexError installationAuthorization(std::string detail);
    static HalvexError backgroundService(std::string message);
    static HalvexError invalidResponse();
    static HalvexError authorizationExpired();
    static HalvexError invalidSignature();
    static HalvexError hashMismatch();
    static HalvexError signatureRejected();
    static HalvexError updateInProgress();
    // The service named a sign-in page that is no browser address (Url::isBrowserAddress).
    static HalvexError unsafeSignInAddress();

    Case kind() const { return kind_; }
    // The message payload of configuration, server, invalidPackage and backgroundService, and the detail
    // of installationAuthorization; empty for the other cases.
    const std::string& message() const { return message_; }
    // The HTTP status of a server error; 0 for the other cases.
    int status() const { return status_; }
    // The application names of dawIsRunning; empty for the other cases.
    const std::vector<std::string>& names() const { return names_; }

    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool is(Case kind) const { return kind_ == kind; }

  private:
    HalvexError(Case kind, std::string message, int status, std::vector<std::string> names);

    Case kind_;
    std::string message_;
    int status_ = 0;
    std::vector<std::string> names_;
    std::string description_;
};

}  // namespace halvex

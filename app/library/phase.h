#pragma once

// What the library can do right now, as the window's model publishes it and the presentation rules read
// it, with the one payload three of the cases carry (the sign-in code, the product being installed, the
// blocking message). A plain value: any thread may build, copy and read it.

#include <string>

namespace halvex::app {

class Phase {
  public:
    enum class Kind { loading, signedOut, authorizing, updating, blocked, ready };

    Phase() = default;

    static Phase loading() { return Phase(Kind::loading, {}); }
    static Phase signedOut() { return Phase(Kind::signedOut, {}); }
    static Phase authorizing(std::string userCode) { return Phase(Kind::authorizing, std::move(userCode)); }
    static Phase updating(std::string productID) { return Phase(Kind::updating, std::move(productID)); }
    static Phase blocked(std::string message) { return Phase(Kind::blocked, std::move(message)); }
    static Phase ready() { return Phase(Kind::ready, {}); }

    Kind kind() const { return kind_; }
    // The user code, the product identifier or the message; empty for the other cases.
    const std::string& payload() const { return payload_; }
    bool is(Kind kind) const { return kind_ == kind; }
    // Whether `productID` is the product being installed.
    bool isUpdating(const std::string& productID) const {
        return kind_ == Kind::updating && payload_ == productID;
    }
    // "loading", "signedOut", "authorizing", "updating", "blocked" or "ready".
    std::string name() const;

    bool operator==(const Phase&) const = default;

  private:
    Phase(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_ = Kind::loading;
    std::string payload_;
};

}  // namespace halvex::app

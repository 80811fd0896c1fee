#pragma once

// A transport failure of an HTTP exchange (nothing the service said, but that it could not be reached or
// the connection failed). Carries curl's code and text; never the request's headers or body.

#include <stdexcept>
#include <string>

namespace halvex {

class NetworkError : public std::runtime_error {
  public:
    enum class Kind {
        notConnected,
        timedOut,
        connectionLost,
        hostNotFound,
        cannotConnect,
        dnsFailure,
        other,  // TLS, protocol, too many redirects, ...
    };

    NetworkError(Kind kind, int curlCode, const std::string& text);

    Kind kind() const { return kind_; }
    int curlCode() const { return curlCode_; }
    // The conditions under which caches fall back to their last good copy: the machine is offline or the
    // service cannot be reached.
    bool isOffline() const { return kind_ != Kind::other; }

  private:
    Kind kind_;
    int curlCode_;
};

}  // namespace halvex

#pragma once

// One HTTP exchange over libcurl. Redirects are followed (http and https only, and never from https back
// to http, which would send the request and its credentials in the clear); a timeout is the longest
// wait for the next data (connecting included), never a limit on the whole transfer. No cookies, no
// cache. Transport failures throw NetworkError; a triggered stop token throws OperationCancelled.
// Stateless and safe to call from any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/url.h"

namespace halvex {

struct HttpRequest {
    std::string method = "GET";
    Url url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // PEM certificates trusted for https instead of the system's; empty for the system's (tests set it).
    std::string trustedCertificatesPEM;
};

// The status line and headers of the final answer (after redirects).
struct HttpResponseHead {
    long status = 0;
    std::string finalURL;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, in order received

    // The last value of a header, matched case-insensitively.
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
    HttpResponseHead head;
    std::string body;
};

class HttpTransport {
  public:
    // Receives the whole body. A body longer than `maximumBodyBytes` ends the transfer and throws
    // BodyTooLarge.
    static HttpResponse send(const HttpRequest& request, std::size_t maximumBodyBytes,
                             std::stop_token stop = {});

    // Streams the body: `onHead` runs once with the final answer's head before any body byte, `onData` for
    // each piece of the body. An exception from either ends the transfer and propagates unchanged.
    static HttpResponseHead stream(const HttpRequest& request,
                                   const std::function<void(const HttpResponseHead&)>& onHead,
                                   const std::function<void(std::string_view)>& onData,
                                   std::stop_token stop = {});

    class BodyTooLarge : public std::runtime_error {
      public:
        BodyTooLarge() : std::runtime_error("The answer is larger than allowed.") {}
    };
};

// The standard reason phrase of an HTTP status ("Not Found"), or a generic phrase for its class.
std::string reasonPhrase(long status);

}  // namespace halvex

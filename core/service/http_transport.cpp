#include "core/service/http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include "core/foundation/operation_cancelled.h"
#include "core/service/network_error.h"
#include "halvex/demo_build.h"

#ifdef HALVEX_DEMO_BUILD
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "halvex/trust_constants.h"
#endif

namespace halvex {

namespace {

constexpr long maximumRedirects = 10;

struct EasyHandleFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// State shared with libcurl's callbacks. Exceptions never cross libcurl: they are parked here and
// rethrown once curl_easy_perform has returned.
struct Exchange {
    CURL* handle = nullptr;
    const std::function<void(const HttpResponseHead&)>* onHead = nullptr;
    const std::function<void(std::string_view)>* onData = nullptr;
    std::stop_token stop;
    HttpResponseHead head;
    bool headDelivered = false;
    bool wasSecure = false;
    std::exception_ptr error;

    void deliverHead() {
        headDelivered = true;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &head.status);
        const char* url = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr)
            head.finalURL = url;
        (*onHead)(head);
    }
};

std::size_t onHeaderLine(char* buffer, std::size_t size, std::size_t count, void* context) {
    auto& exchange = *static_cast<Exchange*>(context);
    const std::string_view line(buffer, size * count);
    if (line.starts_with("HTTP/")) {
        // Each answer of a redirect chain starts over; only the final one's headers remain.
        exchange.head.headers.clear();
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        exchange.head.headers.emplace_back(lowercased(trimmed(line.substr(0, colon))),
                                           std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

std::size_t onBody(char* buffer, std::size_t size, std::size_t count, void* context) {
    auto& exchange = *static_cast<Exchange*>(context);
    try {
        if (!exchange.headDelivered) exchange.deliverHead();
        (*exchange.onData)(std::string_view(buffer, size * count));
        return size * count;
    } catch (...) {
        exchange.error = std::current_exception();
        return 0;
    }
}

// Runs before each request of a redirect chain is sent, so a hop from https to http is refused before
// anything (the Authorization header included) goes out in the clear.
int beforeRequest(void* context, char*, char*, int, int) {
    auto& exchange = *static_cast<Exchange*>(context);
    const char* url = nullptr;
    curl_easy_getinfo(exchange.handle, CURLINFO_EFFECTIVE_URL, &url);
    const bool secure = url != nullptr && lowercased(url).starts_with("https:");
    if (exchange.wasSecure && !secure) {
        exchange.error =
            std::make_exception_ptr(NetworkError(NetworkError::Kind::other, CURLE_UNSUPPORTED_PROTOCOL,
                                                 "A redirect from https to http was refused."));
        return CURL_PREREQFUNC_ABORT;
    }
    exchange.wasSecure = exchange.wasSecure || secure;
    return CURL_PREREQFUNC_OK;
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Exchange*>(context)->stop.stop_requested() ? 1 : 0;
}

NetworkError::Kind kindOf(CURLcode code, long osErrno) {
    using Kind = NetworkError::Kind;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return Kind::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
            return Kind::hostNotFound;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Kind::dnsFailure;
        case CURLE_COULDNT_CONNECT:
            return osErrno == ENETUNREACH || osErrno == ENETDOWN ? Kind::notConnected : Kind::cannotConnect;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2_STREAM:
            return Kind::connectionLost;
        default:
            return Kind::other;
    }
}

#ifdef HALVEX_DEMO_BUILD
// A demo build also trusts the demo service's authority, beside the system's certificates.
CURLcode trustDemoServiceAuthority(CURL*, void* context, void*) {
    BIO* bio = BIO_new_mem_buf(build::demoServiceAuthorityPEM, -1);
    X509* authority = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    const bool added =
        authority != nullptr &&
        X509_STORE_add_cert(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context)), authority) == 1;
    X509_free(authority);
    BIO_free(bio);
    return added ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}
#endif

void configure(CURL* handle, const HttpRequest& request, curl_slist* headers, Exchange& exchange,
               char* errorBuffer) {
    curl_easy_setopt(handle, CURLOPT_URL, request.url.string().c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maximumRedirects);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, beforeRequest);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, &exchange);
    if (!request.trustedCertificatesPEM.empty()) {
        curl_blob anchors{const_cast<char*>(request.trustedCertificatesPEM.data()),
                          request.trustedCertificatesPEM.size(), CURL_BLOB_COPY};
        curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &anchors);
    }
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
#ifdef HALVEX_DEMO_BUILD
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, trustDemoServiceAuthority);
#endif
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);

    const long timeoutMilliseconds = static_cast<long>(request.timeout.count());
    const long stallSeconds = std::max(1L, (timeoutMilliseconds + 999) / 1000);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stallSeconds);

    if (request.method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
    }

    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange);
}

}  // namespace

std::optional<std::string> HttpResponseHead::header(std::string_view name) const {
    const auto wanted = lowercased(name);
    for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
        if (it->first == wanted) return it->second;
    }
    return std::nullopt;
}

HttpResponseHead HttpTransport::stream(const HttpRequest& request,
                                       const std::function<void(const HttpResponseHead&)>& onHead,
                                       const std::function<void(std::string_view)>& onData,
                                       std::stop_token stop) {
    initialiseOnce();
    if (stop.stop_requested()) throw OperationCancelled();
    std::unique_ptr<CURL, EasyHandleFree> handle(curl_easy_init());
    if (!handle)
        throw NetworkError(NetworkError::Kind::other, CURLE_FAILED_INIT, "The HTTP client could not start.");

    std::unique_ptr<curl_slist, HeaderListFree> headers;
    for (const auto& [name, value] : request.headers) {
        const std::string line = name + ": " + value;
        curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
        if (extended == nullptr) throw std::bad_alloc();
        headers.release();
        headers.reset(extended);
    }

    Exchange exchange;
    exchange.handle = handle.get();
    exchange.onHead = &onHead;
    exchange.onData = &onData;
    exchange.stop = stop;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    configure(handle.get(), request, headers.get(), exchange, errorBuffer);

    const CURLcode code = curl_easy_perform(handle.get());
    if (exchange.error) std::rethrow_exception(exchange.error);
    if (code == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested()) throw OperationCancelled();
    if (code != CURLE_OK) {
        long osErrno = 0;
        curl_easy_getinfo(handle.get(), CURLINFO_OS_ERRNO, &osErrno);
        std::string text = curl_easy_strerror(code);
        if (errorBuffer[0] != '\0') text += std::string(" (") + errorBuffer + ")";
        throw NetworkError(kindOf(code, osErrno), code, text);
    }
    if (!exchange.headDelivered) exchange.deliverHead();
    return exchange.head;
}

HttpResponse HttpTransport::send(const HttpRequest& request, std::size_t maximumBodyBytes,
                                 std::stop_token stop) {
    HttpResponse response;
    response.head = stream(
        request, [](const HttpResponseHead&) {},
        [&](std::string_view bytes) {
            if (response.body.size() + bytes.size() > maximumBodyBytes) throw BodyTooLarge();
            response.body.append(bytes);
        },
        stop);
    return response;
}

std::string reasonPhrase(long status) {
    static const std::map<long, const char*> phrases = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {421, "Misdirected Request"},
        {422, "Unprocessable Content"},
        {425, "Too Early"},
        {426, "Upgrade Required"},
        {428, "Precondition Required"},
        {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"},
        {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
        {511, "Network Authentication Required"},
    };
    if (const auto found = phrases.find(status); found != phrases.end()) return found->second;
    if (status >= 100 && status < 200) return "Informational";
    if (status >= 200 && status < 300) return "Success";
    if (status >= 300 && status < 400) return "Redirection";
    if (status >= 400 && status < 500) return "Client Error";
    if (status >= 500 && status < 600) return "Server Error";
    return "Unknown Status";
}

}  // namespace halvex

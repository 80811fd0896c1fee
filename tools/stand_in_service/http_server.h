#pragma once

// A small HTTP/1.1 server for the stand-in service. It is written for tests rather than taken from a
// library because the service must control every byte of an answer: exact Range/Content-Range
// behaviour, bodies cut short, garbage headers, delays before the first byte. One connection serves one
// request (the answer carries "Connection: close"). Handlers run on a thread per connection. With a TLS
// identity every connection speaks https instead of plain http.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace halvex::tools {

struct ServerRequest {
    std::string method;
    std::string path;                            // without the query
    std::string query;                           // without the "?"
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& lowerCaseName) const;
};

// One accepted socket, plain or wrapped in TLS.
class Channel {
  public:
    Channel(int fd, ssl_st* ssl, const std::atomic<bool>& stopping)
        : fd_(fd), ssl_(ssl), stopping_(stopping) {}
    // Appends what arrives next; false on end of stream, error or a peer quiet for 10 s.
    bool readMore(std::string& buffer);
    // Both give up (false) on a write error or when the server stops.
    bool writeAll(std::string_view bytes);
    bool writeFile(int fileFd, std::uint64_t offset, std::uint64_t length);

  private:
    int fd_;
    ssl_st* ssl_;
    const std::atomic<bool>& stopping_;
};

class Connection {
  public:
    Connection(Channel& channel, const std::atomic<bool>& stopping)
        : channel_(channel), stopping_(stopping) {}

    // Status line and headers, with Content-Length and "Connection: close" added.
    bool writeHead(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                   std::uint64_t contentLength);
    bool write(std::string_view bytes);
    // Sends `length` bytes of an open file from `offset`.
    bool writeFile(int fileFd, std::uint64_t offset, std::uint64_t length);
    void respond(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                 std::string_view body);
    // Sleeps, returning early when the server stops.
    void pause(std::chrono::milliseconds duration) const;
    bool stopping() const { return stopping_; }

  private:
    Channel& channel_;
    const std::atomic<bool>& stopping_;
};

// The server's certificate chain (leaf first) and private key, PEM files.
struct TlsIdentity {
    std::filesystem::path certificateChain;
    std::filesystem::path privateKey;
};

class HttpServer {
  public:
    using Handler = std::function<void(const ServerRequest&, Connection&)>;

    explicit HttpServer(Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds (port 0 picks a free one) and starts accepting on a background thread. Throws when the TLS
    // identity cannot be loaded.
    void start(const std::string& host, std::uint16_t port, const std::optional<TlsIdentity>& tls = {});
    void stop();
    std::uint16_t port() const { return port_; }

  private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    ssl_ctx_st* tls_ = nullptr;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    // Joins the workers whose connection has ended.
    void reapFinished();

    std::mutex connectionsMutex_;
    std::vector<Worker> connections_;
};

std::string reasonPhraseFor(int status);

}  // namespace halvex::tools

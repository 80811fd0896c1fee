#include "tools/stand_in_service/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace halvex::tools {

namespace {

constexpr std::size_t maximumHeaderBytes = 64 * 1024;
constexpr std::size_t maximumBodyBytes = 1024 * 1024;
constexpr int readTimeoutMilliseconds = 10'000;

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool readRequest(Channel& channel, ServerRequest& request) {
    std::string buffer;
    std::size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > maximumHeaderBytes || !channel.readMore(buffer)) return false;
    }
    std::string head = buffer.substr(0, headerEnd);
    std::string rest = buffer.substr(headerEnd + 4);

    const auto lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return false;
    request.method = requestLine.substr(0, firstSpace);
    const std::string target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const auto question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? std::string() : target.substr(question + 1);

    std::size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        auto next = head.find("\r\n", position);
        if (next == std::string::npos) next = head.size();
        const std::string line = head.substr(position, next - position);
        if (const auto colon = line.find(':'); colon != std::string::npos) {
            request.headers[lowercased(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
        }
        position = next + 2;
    }

    std::size_t contentLength = 0;
    if (const auto length = request.headers.find("content-length"); length != request.headers.end()) {
        try {
            contentLength = std::stoul(length->second);
        } catch (const std::exception&) {
            return false;
        }
    }
    if (contentLength > maximumBodyBytes) return false;
    while (rest.size() < contentLength) {
        if (!channel.readMore(rest)) return false;
    }
    request.body = rest.substr(0, contentLength);
    return true;
}

std::string openSSLError() {
    char text[256] = "unknown error";
    if (const unsigned long code = ERR_get_error(); code != 0) ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

std::string ServerRequest::header(const std::string& lowerCaseName) const {
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? std::string() : found->second;
}

bool Channel::readMore(std::string& buffer) {
    char chunk[16 * 1024];
    if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
        pollfd poller{fd_, POLLIN, 0};
        if (::poll(&poller, 1, readTimeoutMilliseconds) <= 0) return false;
    }
    const ssize_t count =
        ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    if (count <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(count));
    return true;
}

bool Channel::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stopping_) return false;
        const std::size_t piece = std::min<std::size_t>(bytes.size(), 1 << 20);
        const ssize_t count = ssl_ != nullptr ? SSL_write(ssl_, bytes.data(), static_cast<int>(piece))
                                              : ::send(fd_, bytes.data(), piece, MSG_NOSIGNAL);
        if (count < 0 && ssl_ == nullptr && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

bool Channel::writeFile(int fileFd, std::uint64_t offset, std::uint64_t length) {
    off_t position = static_cast<off_t>(offset);
    if (ssl_ != nullptr) {
        std::string buffer(64 * 1024, '\0');
        while (length > 0) {
            const ssize_t count =
                ::pread(fileFd, buffer.data(), std::min<std::uint64_t>(length, buffer.size()), position);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0 || !writeAll(std::string_view(buffer.data(), static_cast<std::size_t>(count))))
                return false;
            position += count;
            length -= static_cast<std::uint64_t>(count);
        }
        return true;
    }
    while (length > 0) {
        if (stopping_) return false;
        const ssize_t count = ::sendfile(fd_, fileFd, &position, std::min<std::uint64_t>(length, 1 << 20));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        length -= static_cast<std::uint64_t>(count);
    }
    return true;
}

bool Connection::write(std::string_view bytes) {
    return channel_.writeAll(bytes);
}

bool Connection::writeFile(int fileFd, std::uint64_t offset, std::uint64_t length) {
    return channel_.writeFile(fileFd, offset, length);
}

bool Connection::writeHead(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                           std::uint64_t contentLength) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhraseFor(status) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    head += "Content-Length: " + std::to_string(contentLength) + "\r\nConnection: close\r\n\r\n";
    return write(head);
}

void Connection::respond(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view body) {
    if (writeHead(status, headers, body.size())) write(body);
}

void Connection::pause(std::chrono::milliseconds duration) const {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<std::chrono::milliseconds>(duration, std::chrono::milliseconds(10)));
    }
}

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {}

HttpServer::~HttpServer() {
    stop();
    SSL_CTX_free(tls_);
}

void HttpServer::start(const std::string& host, std::uint16_t port, const std::optional<TlsIdentity>& tls) {
    if (tls) {
        tls_ = SSL_CTX_new(TLS_server_method());
        if (tls_ == nullptr || SSL_CTX_use_certificate_chain_file(tls_, tls->certificateChain.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls_, tls->privateKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(tls_) != 1) {
            throw std::runtime_error("TLS identity " + tls->certificateChain.string() + ": " +
                                     openSSLError());
        }
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::invalid_argument("bad host " + host);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::system_error(errno, std::generic_category(), "bind " + host + ":" + std::to_string(port));
    }
    if (::listen(listenFd_, 128) != 0) throw std::system_error(errno, std::generic_category(), "listen");
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    acceptor_ = std::thread([this] { acceptLoop(); });
}

void HttpServer::stop() {
    if (!acceptor_.joinable()) return;
    stopping_ = true;
    (void)!::write(wakeFds_[1], "x", 1);
    acceptor_.join();
    std::vector<Worker> connections;
    {
        std::lock_guard lock(connectionsMutex_);
        connections.swap(connections_);
    }
    for (auto& connection : connections) connection.thread.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

void HttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd pollers[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(pollers, 2, -1) < 0) continue;
        if (pollers[1].revents != 0) break;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        reapFinished();
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard lock(connectionsMutex_);
        connections_.push_back({std::thread([this, fd, finished] {
                                    serve(fd);
                                    *finished = true;
                                }),
                                finished});
    }
}

void HttpServer::reapFinished() {
    std::lock_guard lock(connectionsMutex_);
    std::erase_if(connections_, [](Worker& worker) {
        if (!*worker.finished) return false;
        worker.thread.join();
        return true;
    });
}

void HttpServer::serve(int fd) {
    // A peer that vanishes makes the next write raise SIGPIPE in this thread (TLS writes cannot ask
    // for MSG_NOSIGNAL); blocked here, it stays pending and is dropped with the thread.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    SSL* ssl = nullptr;
    if (tls_ != nullptr) {
        // The handshake reads and writes blocking; a silent peer must not hold the thread forever.
        const timeval timeout{readTimeoutMilliseconds / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        ssl = SSL_new(tls_);
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    Channel channel(fd, ssl, stopping_);
    ServerRequest request;
    if (readRequest(channel, request)) {
        Connection connection(channel, stopping_);
        try {
            handler_(request, connection);
        } catch (const std::exception& error) {
            connection.respond(500, {{"Content-Type", "text/plain"}}, error.what());
        }
    }
    if (ssl != nullptr) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

std::string reasonPhraseFor(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 416:
            return "Range Not Satisfiable";
        case 428:
            return "Precondition Required";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

}  // namespace halvex::tools

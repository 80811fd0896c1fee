#include "app/single_window_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/user_folders.h"

namespace halvex::app {

namespace {

constexpr std::size_t maximumRequestBytes = 512;
constexpr std::size_t maximumTokenBytes = 256;
constexpr auto retryPause = std::chrono::milliseconds(50);

// An activation token travels as one word of printable ASCII; anything else is dropped.
std::string cleanToken(const std::string& token) {
    const bool printable =
        std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
    return printable && token.size() <= maximumTokenBytes ? token : std::string();
}

// The folder must be ours alone: the socket in it accepts raise requests.
void makePrivateFolder(const std::filesystem::path& folder) {
    platform::createDirectories(folder, 0700);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) platform::throwErrno("examine " + folder.string());
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::getuid()) {
        platform::throwErrno(EPERM, folder.string() + " is not a folder of this user");
    }
    if ((status.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        platform::throwErrno("restrict " + folder.string());
    }
}

sockaddr_un socketAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) {
        platform::throwErrno(ENAMETOOLONG, "socket " + path.string());
    }
    std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
    return address;
}

platform::UniqueFd streamSocket() {
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) platform::throwErrno("socket");
    return socket;
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval value{static_cast<time_t>(timeout.count() / 1000),
                  static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const auto count = ::send(fd, text.data() + written, text.size() - written, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// One line without its line feed; absent on a timeout, an early end or an overlong line.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char c;
    while (line.size() < maximumRequestBytes) {
        const auto count = ::recv(fd, &c, 1, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        if (c == '\n') return line;
        line += c;
    }
    return std::nullopt;
}

bool tryLock(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return false;
        platform::throwErrno("lock the window");
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> SingleWindowGuard::standardFolder() {
    const auto runtime = platform::userRuntimeDirectory();
    if (!runtime) return std::nullopt;
    return *runtime / "com.halvex.hub";
}

SingleWindowGuard::Claim SingleWindowGuard::claim(const std::filesystem::path& folder, RaiseHandler onRaise,
                                                  const std::string& activationToken, Timing timing) {
    makePrivateFolder(folder);
    const auto lockPath = folder / "window.lock";
    const auto socketPath = folder / "window.socket";
    const auto address = socketAddress(socketPath);
    platform::UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) platform::throwErrno("open " + lockPath.string());

    const auto becomeTheWindow = [&] {
        // Whatever socket is there was left by a window that is gone: the lock was free.
        if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT)
            platform::throwErrno("remove " + socketPath.string());
        auto listener = streamSocket();
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            platform::throwErrno("bind " + socketPath.string());
        if (::listen(listener.get(), 8) != 0) platform::throwErrno("listen " + socketPath.string());
        return Claim{std::unique_ptr<SingleWindowGuard>(new SingleWindowGuard(
                         std::move(lock), std::move(listener), socketPath, std::move(onRaise))),
                     Claim::Other::none};
    };

    // The holder binds right after it locks, and may also be ending: keep trying both for a moment.
    const auto deadline = std::chrono::steady_clock::now() + timing.connect;
    while (true) {
        if (tryLock(lock.get())) return becomeTheWindow();
        auto connection = streamSocket();
        if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            setTimeouts(connection.get(), timing.answer);
            const auto token = cleanToken(activationToken);
            const bool answered =
                writeAll(connection.get(), token.empty() ? "raise\n" : "raise " + token + "\n") &&
                readLine(connection.get()) == "ok";
            return Claim{nullptr, answered ? Claim::Other::raised : Claim::Other::unresponsive};
        }
        if (std::chrono::steady_clock::now() >= deadline) return Claim{nullptr, Claim::Other::unresponsive};
        std::this_thread::sleep_for(retryPause);
    }
}

SingleWindowGuard::Claim SingleWindowGuard::claim(const std::filesystem::path& folder, RaiseHandler onRaise,
                                                  const std::string& activationToken) {
    return claim(folder, std::move(onRaise), activationToken, Timing{});
}

SingleWindowGuard::SingleWindowGuard(platform::UniqueFd lock, platform::UniqueFd listener,
                                     std::filesystem::path socket, RaiseHandler onRaise)
    : lock_(std::move(lock)),
      listener_(std::move(listener)),
      wakeUp_(::eventfd(0, EFD_CLOEXEC)),
      socket_(std::move(socket)),
      onRaise_(std::move(onRaise)) {
    if (!wakeUp_) platform::throwErrno("eventfd");
    server_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

SingleWindowGuard::~SingleWindowGuard() {
    server_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(wakeUp_.get(), &one, sizeof one);
    server_.join();
    // Still holding the lock, so the socket is ours to remove.
    ::unlink(socket_.c_str());
}

void SingleWindowGuard::serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd watched[2] = {{listener_.get(), POLLIN, 0}, {wakeUp_.get(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) continue;  // EINTR
        if (watched[1].revents != 0) return;
        if ((watched[0].revents & POLLIN) == 0) continue;
        platform::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::getuid()) {
            continue;
        }
        // A stuck client must not hold up the next start.
        setTimeouts(client.get(), std::chrono::seconds(1));
        const auto request = readLine(client.get());
        if (!request || (*request != "raise" && !request->starts_with("raise "))) continue;
        const auto token = request->size() > 6 ? cleanToken(request->substr(6)) : std::string();
        try {
            onRaise_(token);
            writeAll(client.get(), "ok\n");
        } catch (const std::exception&) {
            // The asking start reports an unresponsive window; this one stays as it is.
            writeAll(client.get(), "failed\n");
        }
    }
}

}  // namespace halvex::app

#include "relay.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <iostream>
#include <list>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace zorv_bench {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), "relay: " + what);
}

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    [[nodiscard]] int fd() const noexcept { return fd_; }

private:
    void close() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

// Small writes go out at once: the delay is the relay's, not Nagle's.
void no_delay(const Socket& s) {
    const int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Socket listen_on_loopback(std::uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) fail("socket");
    const int one = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail("bind");
    if (::listen(s.fd(), 128) != 0) fail("listen");
    return s;
}

std::uint16_t local_port(const Socket& s) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&address), &size) != 0) fail("getsockname");
    return ntohs(address.sin_port);
}

Socket connect_to(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        throw std::runtime_error("relay: cannot resolve " + host + ": " + ::gai_strerror(rc));
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (s.fd() >= 0 && ::connect(s.fd(), a->ai_addr, a->ai_addrlen) == 0) return s;
    }
    fail("connect to " + host + ":" + port);
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Bytes read from one side, due at the other side at `due`; no bytes stands for the end of the stream.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
};

// One direction of a connection: reads from `from`, writes each chunk to `to` once due. Nothing is
// delivered before `not_before`. A failed write breaks the whole connection (both sockets shut), which
// ends the other direction too.
void pump(int from, int to, Clock::duration delay, Clock::time_point not_before) {
    std::deque<Chunk> queue;
    std::array<char, 64 * 1024> buffer{};
    bool reading = true;
    for (;;) {
        while (!queue.empty() && queue.front().due <= Clock::now()) {
            const Chunk chunk = std::move(queue.front());
            queue.pop_front();
            if (chunk.bytes.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
            if (!send_all(to, chunk.bytes)) {
                ::shutdown(from, SHUT_RDWR);
                ::shutdown(to, SHUT_RDWR);
                return;
            }
        }
        timespec wait{};
        timespec* timeout = nullptr;  // nothing queued: wait for bytes only
        if (!queue.empty()) {
            const auto left = std::max(Clock::duration::zero(), queue.front().due - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeout = &wait;
        }
        pollfd watch{from, POLLIN, 0};
        const int ready = ::ppoll(&watch, reading ? 1 : 0, timeout, nullptr);
        if (ready < 0 && errno != EINTR) fail("ppoll");
        if (ready <= 0 || !reading) continue;
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        const auto due = std::max(Clock::now() + delay, not_before);
        if (n > 0) {
            queue.push_back({due, std::string(buffer.data(), static_cast<std::size_t>(n))});
        } else {
            queue.push_back({due, {}});
            reading = false;
        }
    }
}

// A relayed connection: the accepted client socket, the socket to the target, a thread per direction.
class Connection {
public:
    Connection(Socket client, Socket server, Clock::duration delay)
        : client_(std::move(client)), server_(std::move(server)) {
        no_delay(client_);
        no_delay(server_);
        const auto accepted = Clock::now();
        // The client's bytes reach the server no sooner than its TCP handshake (a round trip) and one
        // trip more would let them.
        up_ = std::jthread([this, delay, accepted] { run(client_.fd(), server_.fd(), delay, accepted + 3 * delay); });
        down_ = std::jthread([this, delay, accepted] { run(server_.fd(), client_.fd(), delay, accepted); });
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        close();
        up_ = {};
        down_ = {};
    }

    [[nodiscard]] bool finished() const noexcept { return finished_.load() == 2; }

    // Ends both directions (whatever is still queued is dropped once due).
    void close() const noexcept {
        ::shutdown(client_.fd(), SHUT_RDWR);
        ::shutdown(server_.fd(), SHUT_RDWR);
    }

private:
    void run(int from, int to, Clock::duration delay, Clock::time_point not_before) {
        try {
            pump(from, to, delay, not_before);
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            close();
        }
        ++finished_;
    }

    Socket client_, server_;
    std::atomic<int> finished_{0};
    std::jthread up_, down_;  // declared last: joined before the sockets close
};

}  // namespace

nlohmann::json relay(const Options& options) {
    const std::string to = options.text("to");
    const auto colon = to.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument("--to must be HOST:PORT, got " + to);
    const std::string host = to.substr(0, colon);
    const std::string port = to.substr(colon + 1);
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::stod(options.text("one-way-ms"))));

    const Socket listener = listen_on_loopback(static_cast<std::uint16_t>(options.number("port", 0)));
    std::cout << "RELAY_PORT=" << local_port(listener) << std::endl;

    std::list<Connection> connections;
    std::int64_t accepted = 0;
    for (;;) {
        std::array<pollfd, 2> watch{pollfd{listener.fd(), POLLIN, 0}, pollfd{STDIN_FILENO, POLLIN, 0}};
        if (::poll(watch.data(), watch.size(), -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
        }
        if (watch[1].revents != 0) {
            char byte = 0;
            if (::read(STDIN_FILENO, &byte, 1) <= 0) break;  // the runner closed our input: stop
        }
        if ((watch[0].revents & POLLIN) == 0) continue;
        Socket client(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.fd() < 0) continue;
        connections.remove_if([](const Connection& c) { return c.finished(); });
        connections.emplace_back(std::move(client), connect_to(host, port), delay);
        ++accepted;
    }
    for (const auto& c : connections) c.close();
    connections.clear();
    return {{"connections", accepted}};
}

}  // namespace zorv_bench

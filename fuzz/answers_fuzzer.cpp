// libFuzzer target over the library's handling of server answers: status judging, JSON decoding, the
// project, subgroup and token lookups, paging (X-Next-Page and Link), Retry-After, the merge wait and
// the fields operations read. The input is a short series of answers that a loopback HTTP server
// hands out, one per request, to a real operation running over the library's own transport.
//
// Input: one byte choosing the operation, then answers separated by a line "%%". An answer is a status
// line ("404"), header lines ("X-Next-Page: 2"), an empty line, and the body; "$API/" in it stands for the
// server's API root (for Link headers that the client may follow). Requests beyond the last answer get
// 404 "{}".
//
// Whatever the answers say, an operation must return or raise one of the library's own errors; any
// other exception, a crash or a sanitizer report is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace {

using zorv_git_gitlab::Config;
using zorv_git_gitlab::FixedContext;
using zorv_git_gitlab::LogLevel;

class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

struct Answer {
    std::string head;  // status line and headers, CRLF-terminated, without the blank line
    std::string body;
};

std::string_view trim_cr(std::string_view line) {
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool framing_header(std::string_view line) {
    const auto colon = line.find(':');
    std::string name(line.substr(0, colon));
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "content-length" || name == "transfer-encoding" || name == "connection";
}

// One answer from its text form. The server sets the framing itself (Content-Length, Connection:
// close), so that whatever the headers say, the client reads exactly this answer.
Answer parse_answer(std::string_view input, const std::string& api_root) {
    std::string expanded(input);
    for (auto at = expanded.find("$API/"); at != std::string::npos; at = expanded.find("$API/", at + api_root.size())) {
        expanded.replace(at, 5, api_root);
    }
    const std::string_view text = expanded;
    Answer answer;
    const auto blank = text.find("\n\n");
    std::string_view head = text.substr(0, blank);
    answer.body = blank == std::string_view::npos ? std::string() : std::string(text.substr(blank + 2));

    const auto first_end = head.find('\n');
    const std::string_view first = trim_cr(head.substr(0, first_end));
    int status = 0;
    for (const char c : first.substr(0, 3)) {
        if (c < '0' || c > '9') break;
        status = status * 10 + (c - '0');
    }
    // Informational answers would make the client wait for another; they are not what is tested here.
    if (status < 200 || status > 599) status = 200;
    answer.head = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
    std::string_view rest = first_end == std::string_view::npos ? std::string_view{} : head.substr(first_end + 1);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = trim_cr(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (line.find(':') == std::string_view::npos || line.front() == ' ' || line.front() == '\t' ||
            line.find('\0') != std::string_view::npos || framing_header(line)) {
            continue;
        }
        answer.head.append(line);
        answer.head += "\r\n";
    }
    answer.head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\nConnection: close\r\n";
    return answer;
}

std::vector<Answer> parse_input(std::string_view text, const std::string& api_root) {
    std::vector<Answer> answers;
    constexpr std::string_view kSeparator = "\n%%\n";
    while (answers.size() < 16) {
        const auto end = text.find(kSeparator);
        answers.push_back(parse_answer(text.substr(0, end), api_root));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + kSeparator.size());
    }
    return answers;
}

// A plain HTTP server on 127.0.0.1 that answers each request with the next answer of the current
// input and then closes the connection.
class AnswerServer {
public:
    AnswerServer() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_.get() < 0 || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_.get(), 64) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("answer server");
            std::abort();
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~AnswerServer() {
        stop_ = true;
        thread_.join();
    }
    AnswerServer(const AnswerServer&) = delete;
    AnswerServer& operator=(const AnswerServer&) = delete;

    [[nodiscard]] int port() const noexcept { return port_; }

    void load(std::vector<Answer> answers) {
        std::lock_guard lock(mutex_);
        answers_ = std::move(answers);
        next_ = 0;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            Fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.get() < 0) continue;
            timeval limit{2, 0};
            ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            if (!read_request(connection.get())) continue;
            const std::string reply = next_reply();
            send_all(connection.get(), reply);
            ::shutdown(connection.get(), SHUT_WR);
            drain(connection.get());
        }
    }

    // Reads the request head and as much body as Content-Length announces.
    static bool read_request(int fd) {
        std::string data;
        char buffer[4096];
        std::size_t head_end = std::string::npos;
        while (head_end == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            data.append(buffer, static_cast<std::size_t>(n));
            head_end = data.find("\r\n\r\n");
        }
        std::size_t body = 0;
        for (std::size_t at = 0; at < head_end;) {
            const auto end = data.find("\r\n", at);
            std::string line = data.substr(at, end - at);
            for (auto& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (line.starts_with("content-length:")) body = std::strtoull(line.c_str() + 15, nullptr, 10);
            at = end + 2;
        }
        while (data.size() < head_end + 4 + body) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    static void send_all(int fd, std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    static void drain(int fd) {
        char buffer[512];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }

    std::string next_reply() {
        std::lock_guard lock(mutex_);
        if (next_ >= answers_.size()) {
            return "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
        }
        const Answer& answer = answers_[next_++];
        return answer.head + "\r\n" + answer.body;
    }

    Fd listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Answer> answers_;
    std::size_t next_ = 0;
    std::thread thread_;
};

// Lines and records stay in the process: the fuzzer's own output must stay readable.
class QuietContext final : public FixedContext {
public:
    using FixedContext::FixedContext;
    void print_line(std::string_view) override {}
    void log(LogLevel, std::string_view) override {}
};

std::string api_root(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/api/v4/"; }

Config config_for(int port) {
    Config config;
    config.api_url = api_root(port);
    config.token = "fuzz-token";
    auto& s = config.settings;
    s.connect_timeout = std::chrono::seconds(2);
    s.stall_timeout = std::chrono::seconds(2);
    s.max_response_bytes = 1 << 20;
    // Retries are exercised without waiting: no backoff, Retry-After capped at nothing, and a total time
    // so short that a 429's Retry-After of a second or more (which is never shortened) ends the request
    // at once, and pacing waits for no rate-limit reset more than half a second away.
    s.max_tries = 3;
    s.retry_base_delay = std::chrono::milliseconds(0);
    s.retry_after_cap = std::chrono::milliseconds(0);
    s.retry_total_time = std::chrono::milliseconds(500);
    s.merge_poll_interval = std::chrono::milliseconds(1);
    return config;
}

void run_operation(unsigned choice, zorv_git_gitlab::Context& ctx) {
    namespace ops = zorv_git_gitlab::ops;
    switch (choice % 11) {
    case 0:
        (void)ops::get_project_info(ctx, "demo", 7);
        break;
    case 1:
        (void)ops::get_sub_group_id(ctx, "team", 7);
        break;
    case 2:
        (void)ops::get_access_token_info(ctx, 7, "ci");
        break;
    case 3:
        (void)ops::get_tag_list(ctx, "demo", 7);
        break;
    case 4:
        (void)ops::get_pipeline_status(ctx, "demo", 7);
        break;
    case 5:
        (void)ops::perform_merge(ctx, "demo", 7, 1, "merge", 1);
        break;
    case 6:
        (void)ops::create_repo_token(ctx, 3, "ci");
        break;
    case 7:
        (void)ops::delete_sub_group(ctx, "team", 7);
        break;
    case 8:
        (void)ops::get_single_pipeline_status(ctx, 5, 9);
        break;
    case 9:
        (void)ops::get_commits_by_range(ctx, "v1", "v2", "demo", 7);
        break;
    default:
        ops::delete_branch(ctx, "demo", 7, "topic");
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static AnswerServer server;
    if (size == 0) return 0;
    server.load(parse_input(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), api_root(server.port())));
    QuietContext ctx(config_for(server.port()));
    try {
        run_operation(data[0], ctx);
    } catch (const zorv_git_gitlab::Error&) {
        // The library's own errors are the documented outcome of a bad answer.
    } catch (const std::exception& e) {
        std::fprintf(stderr, "operation %u raised a foreign exception: %s\n", data[0] % 11u, e.what());
        std::abort();
    }
    return 0;
}

// Fault rules (control route /-/sandbox/faults): answers, drops, hangs, truncations and delays
// applied before routing.
#include "server.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <regex>

namespace zorv_sandbox {

struct Sandbox::Fault {
    enum class Action { respond, drop, hang, truncate, huge, delay };
    std::int64_t id = 0;
    std::string method;  // empty: any
    std::regex path;
    std::int64_t times = 1;  // remaining; 0: forever
    int status = 0;           // 0: the action's default
    std::string body;
    std::string content_type;
    Json headers = Json::object();
    std::int64_t delay_ms = 0;
    std::int64_t size = 200LL * 1024 * 1024;
    bool size_given = false;
    Action action = Action::respond;

    // The first rule for this request, counted down (and removed when it has run out).
    static std::shared_ptr<Fault> take(Sandbox& sb, const std::string& method, const std::string& raw_path);
    // Answers the request as the action says (not for `delay`); returns the status to journal,
    // null when the connection was dropped.
    Json answer(const Sandbox& sb, const httplib::Request& req, httplib::Response& res) const;

private:
    int status_or(int fallback) const { return status != 0 ? status : fallback; }
    Json respond(httplib::Response& res) const;
    static Json hang(const Sandbox& sb, const httplib::Request& req, httplib::Response& res);
    Json truncate(httplib::Response& res) const;
    Json huge(const Sandbox& sb, httplib::Response& res) const;
};


namespace {

// The connection's socket, for the fault actions that act below HTTP.
int socket_of(const httplib::Request& req) { return req.ssl != nullptr ? SSL_get_fd(req.ssl) : -1; }

void drop_connection(const httplib::Request& req, httplib::Response& res) {
    const int fd = socket_of(req);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    // httplib still tries to write an answer; it fails on the shut socket and the connection closes.
    res.status = 500;
    res.set_header("Connection", "close");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Fault rules

std::int64_t Sandbox::add_fault(const Json& rule) {
    if (!rule.is_object()) throw ApiError::message(400, "a fault rule is a JSON object");
    auto f = std::make_shared<Fault>();
    try {
        f->method = upper_ascii(rule.value("method", std::string{}));
        if (f->method == "*") f->method.clear();
        f->path = std::regex(rule.value("path", std::string{".*"}), std::regex::ECMAScript);
        f->times = rule.value("times", std::int64_t{1});
        f->status = rule.value("status", 0);
        f->delay_ms = rule.value("delay_ms", std::int64_t{0});
        f->size = rule.value("size", f->size);
        f->size_given = rule.contains("size");
        if (rule.contains("body")) {
            const auto& b = rule["body"];
            f->body = b.is_string() ? b.get<std::string>() : b.dump();
            if (!b.is_string()) f->content_type = "application/json";
        }
        f->content_type = rule.value("content_type", f->content_type);
        if (rule.contains("headers")) f->headers = rule["headers"];
        const auto action = rule.value("action", std::string{"respond"});
        if (action == "respond") f->action = Fault::Action::respond;
        else if (action == "drop") f->action = Fault::Action::drop;
        else if (action == "hang") f->action = Fault::Action::hang;
        else if (action == "truncate") f->action = Fault::Action::truncate;
        else if (action == "huge") f->action = Fault::Action::huge;
        else if (action == "delay") f->action = Fault::Action::delay;
        else throw ApiError::message(400, "unknown action: " + action);
    } catch (const std::regex_error& e) {
        throw ApiError::message(400, std::string("invalid path pattern: ") + e.what());
    } catch (const Json::exception& e) {
        throw ApiError::message(400, std::string("invalid fault rule: ") + e.what());
    }
    if (f->times < 0 || f->delay_ms < 0 || f->size < 0 || !f->headers.is_object()) {
        throw ApiError::message(400, "invalid fault rule");
    }
    if (f->content_type.empty()) {
        const bool json = Json::accept(f->body);
        f->content_type = json ? "application/json" : "text/plain";
    }
    std::lock_guard lock(faults_mutex_);
    f->id = next_fault_id_++;
    faults_.push_back(f);
    return f->id;
}

void Sandbox::clear_faults() {
    std::lock_guard lock(faults_mutex_);
    faults_.clear();
}

std::shared_ptr<Sandbox::Fault> Sandbox::Fault::take(Sandbox& sb, const std::string& method,
                                                    const std::string& raw_path) {
    std::lock_guard lock(sb.faults_mutex_);
    for (auto it = sb.faults_.begin(); it != sb.faults_.end(); ++it) {
        const auto& rule = **it;
        if (!rule.method.empty() && rule.method != method) continue;
        if (!std::regex_search(raw_path, rule.path)) continue;
        auto f = *it;
        if (f->times > 0 && --f->times == 0) sb.faults_.erase(it);
        return f;
    }
    return nullptr;
}

Json Sandbox::Fault::answer(const Sandbox& sb, const httplib::Request& req, httplib::Response& res) const {
    switch (action) {
        case Action::respond: return respond(res);
        case Action::drop: drop_connection(req, res); return nullptr;
        case Action::hang: return hang(sb, req, res);
        case Action::truncate: return truncate(res);
        case Action::huge: return huge(sb, res);
        case Action::delay: break;
    }
    return nullptr;
}

Json Sandbox::Fault::respond(httplib::Response& res) const {
    res.status = status_or(500);
    res.set_content(body, content_type);
    return res.status;
}

// No answer until the client closes the connection (or sends anything, such as a TLS close
// alert), the sandbox stops, or ten minutes pass; then the connection is dropped.
Json Sandbox::Fault::hang(const Sandbox& sb, const httplib::Request& req, httplib::Response& res) {
    const int fd = socket_of(req);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (fd >= 0 && !sb.stopping() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
        if (::poll(&p, 1, 200) != 0) break;
    }
    drop_connection(req, res);
    return nullptr;
}

Json Sandbox::Fault::truncate(httplib::Response& res) const {
    res.status = status_or(200);
    // The announced length: the rule's size, else the body and 100 bytes more that never come.
    const auto declared = size_given ? std::max<std::size_t>(static_cast<std::size_t>(size), body.size() + 1)
                                     : body.size() + 100;
    auto text = std::make_shared<std::string>(body);
    res.set_content_provider(declared, content_type,
                             [text](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset == 0 && !text->empty()) return sink.write(text->data(), text->size());
                                 return false;  // ends the answer early: httplib closes the connection
                             });
    return res.status;
}

// A JSON string of exactly `size` bytes: '"', then 'x' characters, then '"'.
Json Sandbox::Fault::huge(const Sandbox& sb, httplib::Response& res) const {
    res.status = status_or(200);
    const auto total = static_cast<std::size_t>(size);
    auto chunk = std::make_shared<std::string>(64 * 1024, 'x');
    res.set_content_provider(total, "application/json",
                             [&sb, chunk, total](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 if (sb.stopping()) return false;
                                 std::string piece = chunk->substr(0, std::min(length, chunk->size()));
                                 if (offset == 0) piece[0] = '"';
                                 if (offset + piece.size() >= total) piece.back() = '"';
                                 return sink.write(piece.data(), piece.size());
                             });
    return res.status;
}

bool Sandbox::apply_fault(const httplib::Request& req, httplib::Response& res, const std::string& raw_path,
                          std::int64_t seq) {
    const auto f = Fault::take(*this, req.method, raw_path);
    if (!f) return false;
    if (f->delay_ms > 0 && !sleep_for(std::chrono::milliseconds(f->delay_ms))) {
        drop_connection(req, res);
        journal_end(seq, nullptr);
        return true;
    }
    for (const auto& [k, v] : f->headers.items()) res.set_header(k, v.is_string() ? v.get<std::string>() : v.dump());
    if (f->action == Fault::Action::delay) {  // the rule only delays: the request goes on to its route
        res.headers.clear();
        return false;
    }
    journal_end(seq, f->answer(*this, req, res));
    return true;
}

}  // namespace zorv_sandbox

// zorv-gitlab-sandbox: a local stand-in for a GitLab server (REST API v4 and git over HTTPS).
#include "routes.hpp"
#include "tls.hpp"

#include "zorv_git/process.hpp"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using zorv_sandbox::Config;
using Variables = std::vector<std::pair<std::string, std::string>>;

struct Options {
    Config config;
    bool watch_stdin = false;
    std::vector<std::string> command;  // --exec CMD ARGS...
};

// Reads the command line into `o`; an exit status when the program ends here (help, usage error).
std::optional<int> parse_args(int argc, char** argv, Options& o) {
    // Everything after the first --exec is the command, passed on untouched (its own options too).
    int own = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--exec") == 0) {
            own = i;
            o.command.assign(argv + i + 1, argv + argc);
            break;
        }
    }
    CLI::App app{"A local stand-in for a GitLab server: REST API v4 and git over HTTPS on 127.0.0.1. When ready it "
                 "prints GITLAB_HOST, GITLAB_TOKEN, CURL_CA_BUNDLE, GIT_SSL_CAINFO and SANDBOX_READY, then serves "
                 "until SIGTERM, SIGINT or SIGHUP.",
                 "zorv-gitlab-sandbox"};
    Config& c = o.config;
    app.add_option("--port", c.port, "port on 127.0.0.1 (0 = a free port, the default)")->check(CLI::Range(0, 65535));
    app.add_option("--data-dir", c.data_dir,
                   "keep state and repositories in DIR across restarts (default: a temporary directory)");
    app.add_option("--token", c.admin_token, "the administrator's token (default: the saved one, else a random one)");
    app.add_option("--threads", c.threads, "worker threads (default 64; each open connection holds one)")
        ->check(CLI::PositiveNumber);
    auto* watch = app.add_flag("--watch-stdin", o.watch_stdin,
                               "stop when standard input reaches its end (the parent that started it went away)");
    bool no_registry = false;
    app.add_flag("--no-registry", no_registry, "an instance without a container registry");
    app.add_option("--rate-limits", c.rate_limits,
                   "the throttles as PRESET configures them: self-managed (GitLab's defaults, the default) or "
                   "gitlab.com (GitLab.com's published limits, and RateLimit-* headers on every answer)")
        ->check(CLI::IsMember({"self-managed", "gitlab.com"}));
    bool exec = false;
    app.add_flag("--exec", exec,
                 "CMD [ARGS...] (last): run CMD with the four variables set instead of printing them, then stop "
                 "and exit with its exit status")
        ->excludes(watch);

    std::vector<const char*> args(argv, argv + own);
    if (own < argc) args.push_back("--exec");
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (exec && o.command.empty()) {
        std::cerr << "zorv-gitlab-sandbox: --exec needs a command to run: --exec CMD [ARGS...]" << std::endl;
        return 2;  // as for CLI11's own usage errors above
    }
    c.registry = !no_registry;
    return std::nullopt;
}

// --exec: runs `command` with `variables` added to its environment, on this process's standard
// input, output and error, and waits for it; a stop signal received meanwhile is passed on to it.
// Its exit status; 128 + the signal that ended it; 127 when it cannot be started.
int run_command(const std::vector<std::string>& command, const Variables& variables, const sigset_t& stop_signals) {
    namespace zp = zorv_git::process;
    std::optional<zp::Child> child;
    try {
        child.emplace(command, zp::Options{.env = variables, .inherit_stdio = true});
    } catch (const zp::SpawnError& e) {
        std::cerr << "zorv-gitlab-sandbox: cannot run " << command[0] << ": " << std::strerror(e.error()) << std::endl;
        return 127;
    }
    std::atomic<bool> ended{false};
    zp::Result result;
    std::thread waiter([&] {
        result = child->wait();
        ended = true;
        ::kill(::getpid(), SIGTERM);  // wakes the sigwait() below
    });
    int sig = 0;
    sigwait(&stop_signals, &sig);
    if (!ended) child->signal(sig);  // stopped from outside: the command goes first
    waiter.join();
    return result.term_signal != 0 ? 128 + result.term_signal : result.exit_code;
}

// Shuts every accepted connection of `port`, so that workers waiting on idle keep-alive
// connections notice the stop at once instead of after the keep-alive timeout.
void shut_connections(int port) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (const dirent* e = ::readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        if (fd <= 2 || fd == ::dirfd(dir)) continue;
        sockaddr_storage local{};
        socklen_t len = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.ss_family != AF_INET) continue;
        if (ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port) != port) continue;
        sockaddr_storage peer{};
        len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) ::shutdown(fd, SHUT_RDWR);
    }
    ::closedir(dir);
}

// Stop signals are taken by sigwait(); every thread started later inherits the mask. A client
// closing its connection must not kill the server while it writes.
sigset_t block_stop_signals() {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

// --watch-stdin: a thread blocks in read() until the end of input, then stops the process; it is
// left running when the process ends.
void stop_at_end_of_stdin() {
    std::thread([] {
        char buf[256];
        while (true) {
            const auto n = ::read(0, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        ::kill(::getpid(), SIGTERM);
    }).detach();
}

// Worker threads, keep-alive and timeouts, and every request handed to the sandbox's own
// dispatcher, which routes on the raw target.
void configure(httplib::SSLServer& server, zorv_sandbox::Sandbox& sandbox) {
    const auto threads = static_cast<std::size_t>(sandbox.threads());
    // httplib owns the task queue it gets from this factory.
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(60);
    server.set_read_timeout(60);
    server.set_write_timeout(60);
    server.set_tcp_nodelay(true);

    const auto all = [&sandbox](const httplib::Request& req, httplib::Response& res) { sandbox.handle(req, res); };
    const std::string any = R"([\s\S]*)";
    server.Get(any, all);
    server.Post(any, all);
    server.Put(any, all);
    server.Patch(any, all);
    server.Delete(any, all);
    server.Options(any, all);
    // A request without Content-Length and not chunked has no body (RFC 9112), but httplib
    // would read one until the connection closes; such requests are answered before that.
    server.set_pre_routing_handler([&sandbox](const httplib::Request& req, httplib::Response& res) {
        const bool may_have_body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                                   req.method == "DELETE";
        if (!may_have_body || req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        sandbox.handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
}

// Every route file's routes (routes.hpp); the git catch-all goes last.
void register_routes(zorv_sandbox::Sandbox& sb) {
    namespace zs = zorv_sandbox;
    zs::register_control_routes(sb);
    zs::register_user_routes(sb);
    zs::register_group_routes(sb);
    zs::register_project_routes(sb);
    zs::register_ci_routes(sb);
    zs::register_issue_routes(sb);
    zs::register_rate_limit_routes(sb);
    zs::repository::register_branch_routes(sb);
    zs::repository::register_commit_routes(sb);
    zs::repository::register_tag_routes(sb);
    zs::repository::register_merge_request_routes(sb);
    zs::repository::register_git_http_routes(sb);
}

// Binds 127.0.0.1:`port` (0: a free port); the port bound.
int bind_port(httplib::SSLServer& server, int port) {
    const int bound = port == 0 ? server.bind_to_any_port("127.0.0.1")
                                : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    return bound;
}

// The server's accept loop on a thread of its own. Constructed, the server listens (or has ended
// already); when the loop ends by itself it stops the process too. Destroyed, it stops the server,
// shuts its open connections, so that workers waiting on idle keep-alive connections notice at
// once, and waits for the loop to end.
class Listener {
public:
    Listener(httplib::SSLServer& server, int port)
        : server_(server), port_(port), thread_([this] {
              server_.listen_after_bind();
              done_ = true;
              ::kill(::getpid(), SIGTERM);
          }) {
        // server.stop() reaches only a server that is already listening: one asked to stop before
        // that would go on accepting forever.
        while (!server_.is_running() && !done_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() {
        server_.stop();
        shut_connections(port_);
        thread_.join();
    }

private:
    httplib::SSLServer& server_;
    int port_;
    std::atomic<bool> done_{false};
    std::thread thread_;  // last member: started once the others exist
};

// Without --exec: the four variables and SANDBOX_READY on standard output, then serving until a
// stop signal.
int announce_and_wait(const Variables& variables, const sigset_t& stop_signals) {
    for (const auto& [key, value] : variables) std::cout << key << "=" << value << "\n";
    std::cout << "SANDBOX_READY" << std::endl;
    int sig = 0;
    sigwait(&stop_signals, &sig);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto done = parse_args(argc, argv, options)) return *done;
    const sigset_t stop_signals = block_stop_signals();
    if (options.watch_stdin) stop_at_end_of_stdin();
    try {
        zorv_sandbox::Sandbox sandbox(options.config);
        const auto tls = zorv_sandbox::ensure_certificates(sandbox.data_dir() / "tls");
        httplib::SSLServer server(tls.server_certificate.c_str(), tls.server_key.c_str());
        if (!server.is_valid()) throw std::runtime_error("cannot set up TLS");
        configure(server, sandbox);
        register_routes(sandbox);
        const int port = bind_port(server, options.config.port);
        sandbox.set_port(port);
        sandbox.start();
        const Variables variables{{"GITLAB_HOST", sandbox.host()},
                                  {"GITLAB_TOKEN", sandbox.admin_token()},
                                  {"CURL_CA_BUNDLE", tls.ca_certificate.string()},
                                  {"GIT_SSL_CAINFO", tls.ca_certificate.string()}};
        const Listener listener(server, port);  // ready is announced only once the server listens
        const int status = options.command.empty() ? announce_and_wait(variables, stop_signals)
                                                   : run_command(options.command, variables, stop_signals);
        sandbox.begin_stop();  // then the listener stops the server as it goes
        return status;
    } catch (const std::exception& e) {
        std::cerr << "zorv-gitlab-sandbox: " << e.what() << std::endl;
        return 1;
    }
}

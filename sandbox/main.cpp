// zorv-gitlab-sandbox: a local stand-in for a GitLab server (REST API v4 and git over HTTPS).
#include "server.hpp"
#include "tls.hpp"

#if __has_include("repository/routes.hpp")
#include "repository/routes.hpp"
#define ZORV_SANDBOX_HAVE_REPOSITORY_ROUTES 1
#endif

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

using zorv_sandbox::Config;

constexpr const char* kUsage =
    "usage: zorv-gitlab-sandbox [--port N] [--data-dir DIR] [--token TOKEN] [--threads N] [--no-registry]\n"
    "  --port N        port on 127.0.0.1 (0 = a free port, the default)\n"
    "  --data-dir DIR  keep state and repositories in DIR across restarts (default: a temporary directory)\n"
    "  --token TOKEN   the administrator's token (default: the saved one, else a random one)\n"
    "  --threads N     worker threads (default 64; each open connection holds one)\n"
    "  --watch-stdin   stop when standard input reaches its end (the parent that started it went away)\n";

int parse_int(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used == text.size() && v >= 0) return v;
    } catch (const std::exception&) {
    }
    throw std::invalid_argument(std::string("invalid ") + what + ": " + text);
}

struct Options {
    Config config;
    bool watch_stdin = false;
};

Options parse_args(int argc, char** argv) {
    Options o;
    Config& c = o.config;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument("missing value for " + a);
            return argv[++i];
        };
        if (a == "--port") c.port = parse_int(value(), "port");
        else if (a == "--data-dir") c.data_dir = value();
        else if (a == "--token") c.admin_token = value();
        else if (a == "--threads") c.threads = std::max(1, parse_int(value(), "thread count"));
        else if (a == "--watch-stdin") o.watch_stdin = true;
        else if (a == "--no-registry") c.registry = false;
        else if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown argument: " + a);
        }
    }
    return o;
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse_args(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zorv-gitlab-sandbox: " << e.what() << "\n" << kUsage;
        return 2;
    }

    // Stop signals are taken by sigwait() below; every thread started later inherits the mask.
    // A client closing its connection must not kill the server while it writes.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    const Config& config = options.config;
    if (options.watch_stdin) {
        // Blocks in read() until the end of input; left running when the process ends.
        std::thread([] {
            char buf[256];
            while (true) {
                const auto n = ::read(0, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EINTR)) break;
            }
            ::kill(::getpid(), SIGTERM);
        }).detach();
    }

    try {
        zorv_sandbox::Sandbox sandbox(config);
        const auto tls = zorv_sandbox::ensure_certificates(sandbox.data_dir() / "tls");
        httplib::SSLServer server(tls.server_certificate.c_str(), tls.server_key.c_str());
        if (!server.is_valid()) throw std::runtime_error("cannot set up TLS");

        const auto threads = static_cast<std::size_t>(sandbox.threads());
        // httplib owns the task queue it gets from this factory.
        server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        server.set_keep_alive_max_count(1000000);
        server.set_keep_alive_timeout(60);
        server.set_read_timeout(60);
        server.set_write_timeout(60);
        server.set_tcp_nodelay(true);

        // Every request goes to the sandbox's own dispatcher, which routes on the raw target.
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

        zorv_sandbox::register_control_routes(sandbox);
        zorv_sandbox::register_user_routes(sandbox);
        zorv_sandbox::register_group_routes(sandbox);
        zorv_sandbox::register_project_routes(sandbox);
        zorv_sandbox::register_ci_routes(sandbox);
        zorv_sandbox::register_issue_routes(sandbox);
#ifdef ZORV_SANDBOX_HAVE_REPOSITORY_ROUTES
        register_repository_routes(server, sandbox);
#endif

        const int port = config.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                          : (server.bind_to_port("127.0.0.1", config.port) ? config.port : -1);
        if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(config.port));
        sandbox.set_port(port);
        sandbox.start();

        std::thread listener([&server] {
            server.listen_after_bind();
            ::kill(::getpid(), SIGTERM);  // the server ended on its own: stop the process too
        });

        std::cout << "GITLAB_HOST=" << sandbox.host() << "\n"
                  << "GITLAB_TOKEN=" << sandbox.admin_token() << "\n"
                  << "CURL_CA_BUNDLE=" << tls.ca_certificate.string() << "\n"
                  << "GIT_SSL_CAINFO=" << tls.ca_certificate.string() << "\n"
                  << "SANDBOX_READY" << std::endl;

        int sig = 0;
        sigwait(&stop_signals, &sig);
        sandbox.begin_stop();
        server.stop();
        shut_connections(port);
        listener.join();
    } catch (const std::exception& e) {
        std::cerr << "zorv-gitlab-sandbox: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

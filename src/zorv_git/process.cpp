// Child processes through posix_spawn: argv only, pipes pumped with poll(), a deadline, and
// SIGPIPE kept away from the parent while it writes to a child that may have gone.
#include "zorv_git/process.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT: POSIX declares it nowhere else

namespace zorv_git::process {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kKillGrace{2000};  // SIGTERM to SIGKILL
constexpr std::size_t kChunk = 65536;

[[noreturn]] void throw_errno(const char* what, int err = errno) {
    throw std::system_error(err, std::generic_category(), what);
}

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
    return {Fd(fds[0]), Fd(fds[1])};
}

void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throw_errno("fcntl");
}

// Blocks SIGPIPE for the calling thread while it lives; a SIGPIPE raised by a write in that time
// (EPIPE) is consumed before the old mask comes back, unless one was already pending before.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_set_);
        sigaddset(&pipe_set_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_);
    }
    ~SigpipeGuard() {
        if (got_epipe_ && !was_pending_) {
            const timespec zero{0, 0};
            while (::sigtimedwait(&pipe_set_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    void note_epipe() noexcept { got_epipe_ = true; }

private:
    sigset_t pipe_set_{};
    sigset_t old_{};
    bool was_pending_ = false;
    bool got_epipe_ = false;
};

std::string_view env_name(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// The child's environment: ours, minus removed and replaced names, plus the added ones.
std::vector<std::string> child_environment(const Options& o) {
    std::vector<std::string> out;
    auto dropped = [&](std::string_view name) {
        for (const auto& n : o.unset_env)
            if (n == name) return true;
        for (const auto& [n, v] : o.env)
            if (n == name) return true;
        return false;
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string_view entry(*e);
        if (!dropped(env_name(entry))) out.emplace_back(entry);
    }
    for (const auto& [n, v] : o.env) out.push_back(n + "=" + v);
    return out;
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// argv[0] as given when it holds a slash, else the first executable of that name in the PATH the
// child will see.
std::string resolve_program(const std::string& name, const std::vector<std::string>& env) {
    if (name.find('/') != std::string::npos) return name;
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const auto& e : env)
        if (env_name(e) == "PATH") path = e.substr(5);
    bool found_unrunnable = false;  // as execvp, which reports EACCES then
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (is_executable_file(candidate)) return candidate;
        found_unrunnable = found_unrunnable || ::access(candidate.c_str(), F_OK) == 0;
        start = end + 1;
    }
    throw SpawnError("cannot start " + name + ": not found in PATH", found_unrunnable ? EACCES : ENOENT);
}

// RAII for the posix_spawn attribute and file-action objects.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
    SpawnSetup() {
        if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) throw_errno("posix_spawn_file_actions_init", rc);
        if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
            ::posix_spawn_file_actions_destroy(&actions);
            throw_errno("posix_spawnattr_init", rc);
        }
    }
    ~SpawnSetup() {
        ::posix_spawnattr_destroy(&attr);
        ::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check(int rc, const char* what) {
    if (rc != 0) throw_errno(what, rc);
}

struct Spawned {
    pid_t pid = -1;
    Fd in, out, err;  // parent ends; `in` is empty when stdin is /dev/null
};

Spawned spawn(const std::vector<std::string>& argv, const Options& o, bool want_stdin) {
    if (argv.empty() || argv[0].empty()) throw SpawnError("cannot start a child: empty argv", ENOENT);
    std::vector<std::string> env = child_environment(o);
    const std::string program = resolve_program(argv[0], env);
    const bool pipes = !o.inherit_stdio;
    want_stdin = want_stdin && pipes;

    Pipe in_pipe, out_pipe, err_pipe;
    if (pipes) {
        out_pipe = make_pipe();
        err_pipe = make_pipe();
    }
    if (want_stdin) in_pipe = make_pipe();

    SpawnSetup s;
    if (want_stdin)
        check(::posix_spawn_file_actions_adddup2(&s.actions, in_pipe.read.get(), 0), "adddup2");
    else if (pipes)
        check(::posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0), "addopen");
    if (pipes) {
        check(::posix_spawn_file_actions_adddup2(&s.actions, out_pipe.write.get(), 1), "adddup2");
        check(::posix_spawn_file_actions_adddup2(&s.actions, err_pipe.write.get(), 2), "adddup2");
    }
    // Descriptors opened elsewhere in the process without O_CLOEXEC (sockets of a server, say)
    // must not leak into the child.
    check(::posix_spawn_file_actions_addclosefrom_np(&s.actions, 3), "addclosefrom");
    if (!o.cwd.empty()) check(::posix_spawn_file_actions_addchdir_np(&s.actions, o.cwd.c_str()), "addchdir");

    // The child starts with an empty signal mask and default handlers for the signals a host
    // commonly ignores (an ignored SIGPIPE would survive exec).
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
    check(::posix_spawnattr_setsigmask(&s.attr, &empty), "setsigmask");
    check(::posix_spawnattr_setsigdefault(&s.attr, &defaults), "setsigdefault");
    check(::posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF), "setflags");

    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    std::vector<char*> cenv;
    cenv.reserve(env.size() + 1);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &s.actions, &s.attr, cargv.data(), cenv.data());
    if (rc != 0) {
        std::string msg = "cannot start " + argv[0];
        if (!o.cwd.empty()) msg += " in " + o.cwd.string();
        throw SpawnError(msg + ": " + std::strerror(rc), rc);
    }
    Spawned sp;
    sp.pid = pid;
    if (want_stdin) sp.in = std::move(in_pipe.write);
    sp.out = std::move(out_pipe.read);
    sp.err = std::move(err_pipe.read);
    return sp;
}

void fill_status(int status, Result& r) {
    if (WIFEXITED(status)) {
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.exit_code = -1;
        r.term_signal = WTERMSIG(status);
    }
}

int wait_blocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 0;  // already reaped elsewhere (SIGCHLD ignored): nothing to report
    }
    return status;
}

// Waits up to `limit` for the child to end; true with its status when it did.
bool wait_for(pid_t pid, std::chrono::milliseconds limit, int& status) {
    const auto until = Clock::now() + limit;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) {
            status = 0;
            return true;
        }
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
}

// Ends a child still running: SIGTERM, then SIGKILL after the grace period; always reaps.
int terminate_and_reap(pid_t pid, std::chrono::milliseconds first_wait) {
    int status = 0;
    if (wait_for(pid, first_wait, status)) return status;
    ::kill(pid, SIGTERM);
    if (wait_for(pid, kKillGrace, status)) return status;
    ::kill(pid, SIGKILL);
    return wait_blocking(pid);
}

// Reads what is available into `sink`, or hands it to `cb` instead, or to `tee` as well; false at end
// of file.
bool drain(int fd, std::string* sink, const std::function<void(std::string_view)>* cb,
           const std::function<void(std::string_view)>* tee = nullptr) {
    char buf[kChunk];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            if (cb != nullptr && *cb)
                (*cb)(std::string_view(buf, static_cast<std::size_t>(n)));
            else
                sink->append(buf, static_cast<std::size_t>(n));
            if (tee != nullptr && *tee) (*tee)(std::string_view(buf, static_cast<std::size_t>(n)));
            if (static_cast<std::size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
    }
}

}  // namespace

Result run(const std::vector<std::string>& argv, const Options& options) {
    const bool has_input = !options.stdin_data.empty();
    Spawned sp = spawn(argv, options, has_input);
    Result result;

    // From here on the child must be reaped whatever happens.
    struct Reaper {
        pid_t pid;
        bool done = false;
        ~Reaper() {
            if (!done) terminate_and_reap(pid, std::chrono::milliseconds(0));
        }
    } reaper{sp.pid};

    for (const Fd* fd : {&sp.in, &sp.out, &sp.err})
        if (*fd) set_nonblocking(fd->get());

    SigpipeGuard sigpipe;
    std::string_view pending = options.stdin_data;
    const bool has_deadline = options.timeout.count() > 0;
    const auto deadline = Clock::now() + options.timeout;
    std::optional<Clock::time_point> kill_at;  // set once SIGTERM went out
    bool reaped = false;
    int status = 0;

    while (sp.in || sp.out || sp.err) {
        pollfd fds[3];
        nfds_t n = 0;
        int idx_in = -1, idx_out = -1, idx_err = -1;
        if (sp.in) { idx_in = static_cast<int>(n); fds[n++] = {sp.in.get(), POLLOUT, 0}; }
        if (sp.out) { idx_out = static_cast<int>(n); fds[n++] = {sp.out.get(), POLLIN, 0}; }
        if (sp.err) { idx_err = static_cast<int>(n); fds[n++] = {sp.err.get(), POLLIN, 0}; }

        int wait_ms = -1;
        const auto now = Clock::now();
        if (has_deadline && !kill_at) {
            if (now >= deadline) {
                ::kill(sp.pid, SIGTERM);
                result.timed_out = true;
                kill_at = now + kKillGrace;
                sp.in.reset();  // no more input for a child being stopped
                continue;
            }
            wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        } else if (kill_at) {
            if (now >= *kill_at) {
                // The child ignored SIGTERM, or it is gone and something it started still holds
                // the pipes: kill it and stop reading.
                ::kill(sp.pid, SIGKILL);
                status = wait_blocking(sp.pid);
                reaped = true;
                break;
            }
            wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*kill_at - now).count());
        }

        int rc = ::poll(fds, n, wait_ms);
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw_errno("poll");
        }
        if (idx_in >= 0 && (fds[idx_in].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            while (!pending.empty()) {
                ssize_t w = ::write(sp.in.get(), pending.data(), std::min(pending.size(), kChunk));
                if (w > 0) {
                    pending.remove_prefix(static_cast<std::size_t>(w));
                    continue;
                }
                if (w < 0 && errno == EINTR) continue;
                if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                if (w < 0 && errno == EPIPE) sigpipe.note_epipe();
                pending = {};  // the child closed its input: the rest is dropped
            }
            if (pending.empty()) sp.in.reset();
        }
        if (idx_out >= 0 && fds[idx_out].revents != 0) {
            if (!drain(sp.out.get(), &result.out, &options.on_stdout)) sp.out.reset();
        }
        if (idx_err >= 0 && fds[idx_err].revents != 0) {
            if (!drain(sp.err.get(), &result.err, nullptr, &options.on_stderr)) sp.err.reset();
        }
    }

    if (!reaped && has_deadline && !kill_at) {
        // The pipes are closed but the child may still run: hold it to the deadline.
        const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        if (wait_for(sp.pid, std::chrono::ceil<std::chrono::milliseconds>(left), status)) {
            reaped = true;
        } else {
            ::kill(sp.pid, SIGTERM);
            result.timed_out = true;
            kill_at = Clock::now() + kKillGrace;
        }
    }
    if (!reaped) {
        if (kill_at) {
            const auto left = std::max(Clock::duration::zero(), *kill_at - Clock::now());
            if (!wait_for(sp.pid, std::chrono::duration_cast<std::chrono::milliseconds>(left), status)) {
                ::kill(sp.pid, SIGKILL);
                status = wait_blocking(sp.pid);
            }
        } else {
            status = wait_blocking(sp.pid);
        }
    }
    reaper.done = true;
    fill_status(status, result);
    return result;
}

// ---------------------------------------------------------------------------------------------

struct Child::Impl {
    pid_t pid = -1;
    std::atomic<bool> reaped{false};
    Fd in, out;
    std::string buffer;  // bytes read from stdout not yet handed out
    bool out_eof = false;
    std::string err;
    std::thread err_reader;

    ~Impl() {
        in.reset();
        out.reset();
        if (!reaped) terminate_and_reap(pid, std::chrono::milliseconds(200));
        if (err_reader.joinable()) err_reader.join();
    }

    // One blocking read into the buffer; false at end of output.
    bool fill() {
        if (out_eof || !out) return false;
        char buf[kChunk];
        for (;;) {
            ssize_t n = ::read(out.get(), buf, sizeof buf);
            if (n > 0) {
                buffer.append(buf, static_cast<std::size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR) continue;
            out_eof = true;
            return false;
        }
    }
};

Child::Child(const std::vector<std::string>& argv, const Options& options) : impl_(std::make_unique<Impl>()) {
    Spawned sp = spawn(argv, options, true);
    impl_->pid = sp.pid;
    impl_->in = std::move(sp.in);
    impl_->out = std::move(sp.out);
    // The reader owns the stderr descriptor and stops at its end of file, which comes when the
    // child (and whatever it started) has gone.
    if (sp.err) {
        impl_->err_reader = std::thread([fd = std::move(sp.err), sink = &impl_->err]() {
            char buf[kChunk];
            for (;;) {
                ssize_t n = ::read(fd.get(), buf, sizeof buf);
                if (n > 0) {
                    sink->append(buf, static_cast<std::size_t>(n));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    break;
                }
            }
        });
    }
    if (!options.stdin_data.empty() && impl_->in) write(options.stdin_data);
}

Child::~Child() = default;
Child::Child(Child&&) noexcept = default;
Child& Child::operator=(Child&&) noexcept = default;

void Child::write(std::string_view data) {
    if (!impl_->in) throw std::system_error(EPIPE, std::generic_category(), "write to child: stdin closed");
    SigpipeGuard sigpipe;
    while (!data.empty()) {
        ssize_t w = ::write(impl_->in.get(), data.data(), data.size());
        if (w > 0) {
            data.remove_prefix(static_cast<std::size_t>(w));
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        int err = errno;
        if (err == EPIPE) sigpipe.note_epipe();
        throw std::system_error(err, std::generic_category(), "write to child");
    }
}

void Child::close_stdin() { impl_->in.reset(); }

void Child::signal(int sig) {
    if (!impl_->reaped) ::kill(impl_->pid, sig);
}

bool Child::read_line(std::string& line) {
    auto& b = impl_->buffer;
    std::size_t scanned = 0;
    for (;;) {
        if (auto nl = b.find('\n', scanned); nl != std::string::npos) {
            line.assign(b, 0, nl);
            b.erase(0, nl + 1);
            return true;
        }
        scanned = b.size();
        if (!impl_->fill()) {
            if (b.empty()) return false;
            line = std::move(b);  // a last line without a newline
            b.clear();
            return true;
        }
    }
}

bool Child::read_exact(std::size_t n, std::string& out) {
    auto& b = impl_->buffer;
    while (b.size() < n) {
        if (!impl_->fill()) {
            out.append(b);
            b.clear();
            return false;
        }
    }
    out.append(b, 0, n);
    b.erase(0, n);
    return true;
}

Result Child::wait() {
    Result r;
    impl_->in.reset();
    // Output not read by the caller is discarded so the child can finish writing.
    while (impl_->fill()) impl_->buffer.clear();
    impl_->buffer.clear();
    impl_->out.reset();
    if (!impl_->reaped) {
        fill_status(wait_blocking(impl_->pid), r);
        impl_->reaped = true;
    }
    if (impl_->err_reader.joinable()) impl_->err_reader.join();
    r.err = std::move(impl_->err);
    impl_->err.clear();
    return r;
}

}  // namespace zorv_git::process

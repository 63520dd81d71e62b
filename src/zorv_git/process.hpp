// Running child processes without a shell: argv vector, captured output, extra environment,
// optional deadline. Used by the git runner of the library and by the sandbox server.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv_git::process {

struct Options {
    std::filesystem::path cwd{};                              // empty: the caller's directory
    std::vector<std::pair<std::string, std::string>> env{};    // added or replaced variables
    std::vector<std::string> unset_env{};                     // variables removed from the child's environment
    std::string_view stdin_data{};                            // written to stdin, which is then closed
    std::chrono::milliseconds timeout{0};                     // 0: no deadline; else SIGTERM, then SIGKILL
    // When set, stdout is handed over chunk by chunk instead of being captured.
    std::function<void(std::string_view)> on_stdout{};
    // When set, also handed each chunk of stderr as it comes (Result::err still holds all of it).
    std::function<void(std::string_view)> on_stderr{};
    // The child shares this process's stdin, stdout and stderr instead of pipes: stdin_data and
    // on_stdout do not apply, and Result::out and err stay empty.
    bool inherit_stdio = false;
};

struct Result {
    int exit_code = -1;      // exit status, or -1 when the child was ended by a signal
    int term_signal = 0;     // the signal that ended it, else 0
    bool timed_out = false;  // ended because the deadline passed
    std::string out;         // stdout (empty when Options::on_stdout is set)
    std::string err;         // stderr
    [[nodiscard]] bool ok() const noexcept { return exit_code == 0; }
};

// Thrown when the program cannot be started at all (not found, not executable, fork failure).
// error() is the errno as execvp would report it: ENOENT when nothing of that name was found,
// EACCES when one was found but cannot be run.
class SpawnError : public std::runtime_error {
public:
    SpawnError(const std::string& what, int error) : std::runtime_error(what), error_(error) {}
    [[nodiscard]] int error() const noexcept { return error_; }

private:
    int error_;
};

// Runs argv[0] (looked up in PATH) to its end. stdin, stdout and stderr are pumped together,
// so a child that writes much never blocks on a full pipe.
Result run(const std::vector<std::string>& argv, const Options& options = {});

// A running child for request/response use over pipes (for instance `git cat-file --batch`).
// stderr is drained in the background and available after wait(). The destructor closes the
// pipes, ends a child still running (SIGTERM, then SIGKILL) and always reaps it.
// Of the Options, cwd, env, unset_env, stdin_data (written first) and inherit_stdio apply;
// timeout, on_stdout and on_stderr do not: the caller paces the exchange. One Child is used by one
// thread at a time, but for signal().
class Child {
public:
    Child(const std::vector<std::string>& argv, const Options& options = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&&) noexcept;
    Child& operator=(Child&&) noexcept;

    void write(std::string_view data);             // all of it, or throws std::system_error
    void close_stdin();
    bool read_line(std::string& line);             // without the newline; false at end of output
    bool read_exact(std::size_t n, std::string& out);  // appends exactly n bytes; false at early end
    Result wait();                                 // closes stdin, reaps; out is empty, err is stderr
    // Sends `sig` to the child unless it has been reaped; another thread may be in wait() meanwhile.
    void signal(int sig);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorv_git::process

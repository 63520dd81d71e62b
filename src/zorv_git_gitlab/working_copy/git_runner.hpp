// The git program, run for one working copy: argv only, never a shell, output captured, exit status
// checked. Credentials travel in the child's environment as an HTTP header for the server they belong
// to, never on a command line and never in the working copy's configuration. Failures raise GitError
// naming the command and carrying git's own message, with every secret redacted.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/context.hpp"

namespace zorv_git_gitlab::working_copy {

using Args = std::vector<std::string>;

// `prefix` (options such as "-c user.name=...") followed by `args`.
inline Args with(Args prefix, std::initializer_list<std::string> args) {
    prefix.insert(prefix.end(), args);
    return prefix;
}

struct GitCall {
    bool network = false;                      // a transfer with the server: credential header, stall limit
    std::string_view stdin_data{};             // written to git's standard input
    std::vector<int> accept{0};                // exit statuses that are not a failure
    bool progress = false;                     // git's standard error also goes to ours as it comes, redacted
};

// The token git presents, and the one server ("scheme://host[:port]") it is presented to.
struct Credential {
    std::string server;
    std::optional<std::string> token;  // none: git runs without one
};

class GitRunner {
public:
    // `cwd`: where git runs (empty: the caller's directory). `credential`: for the server's git routes;
    // git sends it to no other address. `extra_secrets`: further texts to redact. `settings`: the stall
    // limit applies to git's transfers too (unless the environment sets git's own).
    GitRunner(std::filesystem::path cwd, Credential credential, std::vector<std::string> extra_secrets,
              const Settings& settings);
    // A runner for the operations of `ctx`: its clone token for the server of its api_url; its
    // configured token is redacted too.
    static GitRunner for_context(const Context& ctx, std::filesystem::path cwd);

    // Runs `git args...`; GitError unless the exit status is one of call.accept.
    zorv_git::process::Result run(const Args& args, const GitCall& call = {}) const;
    // Runs `git args...` and hands back whatever came of it (GitError only when git cannot start).
    zorv_git::process::Result probe(const Args& args) const;
    // Standard output of a successful run, without its trailing newline.
    std::string output(const Args& args, const GitCall& call = {}) const;
    // A long-lived git child for request/response use (cat-file --batch).
    zorv_git::process::Child start(const Args& args) const;

    // The text with every secret replaced by "[REDACTED]".
    [[nodiscard]] std::string redact(std::string_view text) const;
    // GitError for `args` with git's messages; the exit status of `result`.
    [[noreturn]] void fail(const Args& args, const zorv_git::process::Result& result) const;
    [[noreturn]] void fail(const Args& args, std::string_view message, int exit_code) const;

private:
    [[nodiscard]] zorv_git::process::Options options(bool network) const;
    [[nodiscard]] static Args argv(const Args& args);

    std::filesystem::path cwd_;
    std::vector<std::pair<std::string, std::string>> auth_env_;     // empty without a token
    std::vector<std::pair<std::string, std::string>> network_env_;  // transfer limits
    std::vector<std::string> secrets_;
};

}  // namespace zorv_git_gitlab::working_copy

// Helpers shared by the C++ tests: a context that keeps what operations print, a temporary directory
// removed with its contents (temp_dir.hpp), and git run in a directory.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_fixture.hpp"
#include "temp_dir.hpp"
#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/context.hpp"

namespace zorv_test {

// A context with its own configuration (by default the sandbox with the given token) that keeps the
// printed lines instead of writing them.
class Capture : public zorv_git_gitlab::FixedContext {
public:
    explicit Capture(zorv_git_gitlab::Config config) : FixedContext(std::move(config)) {}
    explicit Capture(std::optional<std::string> token = sandbox().token())
        : Capture(zorv_git_gitlab::Config{sandbox().api_url(), std::move(token), {}}) {}
    void print_line(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// `git <args>` run in `dir`: its standard output without trailing newlines; std::runtime_error with
// git's message when it fails.
inline std::string git(const std::filesystem::path& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = zorv_git::process::run(argv, {.cwd = dir});
    if (!result.ok()) throw std::runtime_error("git failed: " + result.err);
    std::string out = result.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace zorv_test

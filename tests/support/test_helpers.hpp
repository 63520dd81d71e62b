// Helpers shared by the C++ tests: a context that keeps what operations print, and a temporary
// directory removed with its contents.
#pragma once

#include <stdlib.h>  // mkdtemp

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "sandbox_fixture.hpp"
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

// A new directory below the system's temporary directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorv-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside the directory.
    [[nodiscard]] std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
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

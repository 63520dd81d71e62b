// Helpers shared by the C++ tests: a context that keeps what operations print, and a temporary
// directory removed with its contents (temp_dir.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_fixture.hpp"
#include "temp_dir.hpp"
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

}  // namespace zorv_test

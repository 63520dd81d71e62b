// An identifier that callers may give as a number or as text (a project or pipeline id).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <utility>

namespace zorv_git_gitlab {

class Id {
public:
    template <std::integral T>
    Id(T number) : text_(std::to_string(number)) {}  // NOLINT(google-explicit-constructor)
    Id(std::string text) : text_(std::move(text)) {}  // NOLINT(google-explicit-constructor)
    Id(const char* text) : text_(text) {}             // NOLINT(google-explicit-constructor)

    // The identifier as it stands in a URL path segment (before encoding).
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

}  // namespace zorv_git_gitlab

// Building request URLs and bodies: path segments, query strings and form bodies.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv_git_gitlab::rest {

// Ordered key/value pairs of a query string or a form body.
using Params = std::vector<std::pair<std::string, std::string>>;

// A boolean as it travels in query strings and form bodies.
inline std::string bool_text(bool value) { return value ? "True" : "False"; }

// Percent-encodes a value so that it stands as exactly one path segment ("/" becomes %2F).
std::string encode_segment(std::string_view value);

// application/x-www-form-urlencoded: space as "+", everything outside A-Z a-z 0-9 _ . - ~ encoded.
std::string form_encode(std::string_view value);
std::string form_encode(const Params& params);  // key=value pairs joined by "&"

// A path below the API root, each piece one encoded segment: Path{"projects", id, "repository", "branches"}.
class Path {
public:
    Path(std::initializer_list<std::string_view> segments);
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

}  // namespace zorv_git_gitlab::rest

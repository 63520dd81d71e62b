// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorv_git_gitlab::rest {

// Appends the encoding of `bytes` to `out`.
void base64_append(std::string& out, std::string_view bytes);
inline std::string base64(std::string_view bytes) {
    std::string out;
    base64_append(out, bytes);
    return out;
}
constexpr std::size_t base64_size(std::size_t bytes) noexcept { return (bytes + 2) / 3 * 4; }

}  // namespace zorv_git_gitlab::rest

#include "rest/url.hpp"

namespace zorv_git_gitlab::rest {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

void percent(std::string& out, unsigned char c) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

// Everything outside the unreserved characters is percent-encoded; in form encoding a space is "+".
std::string percent_encode(std::string_view value, bool space_as_plus) {
    std::string out;
    out.reserve(value.size() + 8);
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (unreserved(c)) {
            out += ch;
        } else if (space_as_plus && c == ' ') {
            out += '+';
        } else {
            percent(out, c);
        }
    }
    return out;
}

}  // namespace

std::string encode_segment(std::string_view value) {
    std::string out = percent_encode(value, false);
    // "." and ".." are path steps, not names: encode their dots so the server sees a name.
    if (out == "." || out == "..") {
        std::string dots;
        for (std::size_t i = 0; i < out.size(); ++i) dots += "%2E";
        return dots;
    }
    return out;
}

std::string form_encode(std::string_view value) { return percent_encode(value, true); }

std::string form_encode(const Params& params) {
    std::string out;
    for (const auto& [key, value] : params) {
        if (!out.empty()) out += '&';
        out += form_encode(key);
        out += '=';
        out += form_encode(value);
    }
    return out;
}

Path::Path(std::initializer_list<std::string_view> segments) {
    for (const auto segment : segments) {
        if (!text_.empty()) text_ += '/';
        text_ += encode_segment(segment);
    }
}

}  // namespace zorv_git_gitlab::rest

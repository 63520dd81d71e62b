#include "rest/base64.hpp"

namespace zorv_git_gitlab::rest {

void base64_append(std::string& out, std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t start = out.size();
    out.resize(start + base64_size(bytes.size()));
    char* dst = out.data() + start;
    const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (src[i] << 16) | (src[i + 1] << 8) | src[i + 2];
        *dst++ = kAlphabet[(v >> 18) & 63];
        *dst++ = kAlphabet[(v >> 12) & 63];
        *dst++ = kAlphabet[(v >> 6) & 63];
        *dst++ = kAlphabet[v & 63];
    }
    if (const std::size_t left = bytes.size() - i; left > 0) {
        const unsigned v = (src[i] << 16) | (left == 2 ? src[i + 1] << 8 : 0);
        *dst++ = kAlphabet[(v >> 18) & 63];
        *dst++ = kAlphabet[(v >> 12) & 63];
        *dst++ = left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *dst++ = '=';
    }
}

}  // namespace zorv_git_gitlab::rest

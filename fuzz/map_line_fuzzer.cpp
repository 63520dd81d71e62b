// libFuzzer target over the failure map line of commit_project: git's raw comparison output is parsed,
// planned into actions and printed the way Python prints a dict. Whatever the paths hold (newlines,
// quotes, invalid UTF-8, control characters), the line must stay one line of valid UTF-8 text that
// names every path, and the only errors are the documented ones.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "working_copy/changes.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace {

[[noreturn]] void finding(const char* what, std::string_view line) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(line.size()), line.data());
    std::abort();
}

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                                                                          : lead >= 0xf0 && lead <= 0xf4   ? 4
                                                                                                           : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// A Python literal on one line: quoted, printable, valid UTF-8.
void check_text(std::string_view text, char open, char close) {
    if (text.size() < 2 || text.front() != open || text.back() != close) finding("not delimited", text);
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) finding("raw control character", text);
    }
    if (!valid_utf8(text)) finding("invalid UTF-8", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace wc = zorv_git_gitlab::working_copy;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::string repr = wc::python_repr(input);
    if (repr.size() < 2 || (repr.front() != '\'' && repr.front() != '"')) finding("repr without quote", repr);
    check_text(repr, repr.front(), repr.front());

    std::vector<wc::Change> changes;
    try {
        changes = wc::parse_raw_diff(input);
    } catch (const std::runtime_error&) {
        return 0;  // not git's raw format: the documented refusal
    }
    std::vector<wc::Action> actions;
    try {
        actions = wc::plan_actions(changes);
    } catch (const zorv_git_gitlab::UnpublishableChangeError&) {
        return 0;
    }
    const std::string line = wc::failure_map_line(actions);
    check_text(line, '{', '}');
    for (const auto& action : actions) {
        if (line.find(wc::python_repr(action.path)) == std::string::npos) finding("path missing from", line);
    }
    return 0;
}

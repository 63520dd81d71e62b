#include "working_copy/changes.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::working_copy {
namespace {

constexpr std::string_view kExecutable = "100755";
constexpr std::string_view kSymlink = "120000";
constexpr std::string_view kSubmodule = "160000";

bool executable(std::string_view mode) { return mode == kExecutable; }

// Reads up to the next NUL; false when none is left.
bool next_field(std::string_view& rest, std::string_view& field) {
    const auto nul = rest.find('\0');
    if (nul == std::string_view::npos) return false;
    field = rest.substr(0, nul);
    rest.remove_prefix(nul + 1);
    return true;
}

[[noreturn]] void malformed(std::string_view what) {
    throw std::runtime_error("unexpected output of git diff-tree: " + std::string(what));
}

class Planner {
public:
    void update(const Change& c) {
        check(c.a_mode, c.a_path);
        if (c.b_mode == kSymlink || c.b_mode == kSubmodule) {
            // An update keeps the entry's kind on the server: replace the link or submodule instead.
            remove(c.a_path);
            create(c.a_path, c.a_mode, c.a_blob);
            return;
        }
        if (c.a_blob != c.b_blob) actions_.push_back({ActionKind::update, c.a_path, c.a_blob, executable(c.a_mode), {}});
        if (executable(c.a_mode) != executable(c.b_mode)) {
            actions_.push_back({ActionKind::chmod, c.a_path, {}, executable(c.a_mode), {}});
        }
    }
    void create(const std::string& path, const std::string& mode, const std::string& blob) {
        check(mode, path);
        actions_.push_back({ActionKind::create, path, blob, executable(mode), {}});
        if (executable(mode)) actions_.push_back({ActionKind::chmod, path, {}, true, {}});
    }
    void remove(const std::string& path) { actions_.push_back({ActionKind::remove, path, {}, false, {}}); }

    std::vector<Action> finish() {
        if (!refused_.empty()) {
            std::string message = "commit_project: the commits API cannot publish symbolic links or submodules; "
                                  "refused:";
            for (const auto& [path, kind] : refused_) message += " " + path + " (" + kind + ")";
            throw UnpublishableChangeError(message);
        }
        return std::move(actions_);
    }

private:
    void check(std::string_view mode, const std::string& path) {
        if (mode == kSymlink) refused_.emplace_back(path, "symbolic link");
        if (mode == kSubmodule) refused_.emplace_back(path, "submodule");
    }

    std::vector<Action> actions_;
    std::vector<std::pair<std::string, std::string>> refused_;
};

void append_code_point_escape(std::string& out, std::uint32_t cp) {
    static constexpr char kHex[] = "0123456789abcdef";
    int digits = 8;
    if (cp <= 0xff) {
        out += "\\x";
        digits = 2;
    } else if (cp <= 0xffff) {
        out += "\\u";
        digits = 4;
    } else {
        out += "\\U";
    }
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xf];
}

// Python's str.isprintable() for code points outside ASCII, for the characters it refuses that file
// names can realistically hold: C1 controls, separators other than the space, format characters,
// surrogates, private use and the two noncharacters of each plane's end. Unassigned code points are
// taken as printable.
bool printable_non_ascii(std::uint32_t cp) {
    static constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 24> kRefused{{
        {0x80, 0xa0},       {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},   {0x6dd, 0x6dd},
        {0x70f, 0x70f},     {0x180e, 0x180e},   {0x1680, 0x1680},   {0x2000, 0x200f}, {0x2028, 0x202f},
        {0x205f, 0x2064},   {0x2066, 0x206f},   {0x3000, 0x3000},   {0xd800, 0xf8ff}, {0xfeff, 0xfeff},
        {0xfff9, 0xfffb},   {0x110bd, 0x110bd}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001},
        {0xe0020, 0xe007f}, {0xf0000, 0x10ffff}, {0xfffe, 0xffff},  {0x1fffe, 0x1ffff},
    }};
    return std::none_of(kRefused.begin(), kRefused.end(),
                        [cp](const auto& range) { return cp >= range.first && cp <= range.second; });
}

// Decodes one UTF-8 sequence at text[i]; on a malformed one takes a single byte and reports it.
std::pair<std::uint32_t, std::size_t> decode(std::string_view text, std::size_t i, bool& valid) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        valid = true;
        return {lead, 1};
    }
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        cp = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        cp = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        cp = lead & 0x07;
    }
    valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
        valid = (byte(i + k) & 0xc0) == 0x80;
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    static constexpr std::array<std::uint32_t, 5> kMinimum{0, 0, 0x80, 0x800, 0x10000};
    if (valid && (cp < kMinimum[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))) valid = false;
    if (!valid) return {lead, 1};
    return {cp, length};
}

}  // namespace

std::vector<Change> parse_raw_diff(std::string_view output) {
    std::vector<Change> changes;
    std::string_view rest = output;
    std::string_view header;
    while (next_field(rest, header)) {
        // ":<a mode> <b mode> <a blob> <b blob> <status>[score]"
        if (header.size() < 2 || header.front() != ':') malformed(header);
        std::array<std::string_view, 5> parts;
        std::string_view cursor = header.substr(1);
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const auto space = cursor.find(' ');
            if ((space == std::string_view::npos) != (k == parts.size() - 1)) malformed(header);
            parts[k] = cursor.substr(0, space);
            if (space != std::string_view::npos) cursor.remove_prefix(space + 1);
        }
        if (parts[4].empty()) malformed(header);
        Change change{parts[4].front(),   std::string(parts[0]), std::string(parts[1]), std::string(parts[2]),
                      std::string(parts[3]), {},                    {}};
        std::string_view path;
        if (!next_field(rest, path)) malformed(header);
        change.a_path = path;
        if (change.status == 'R' || change.status == 'C') {
            if (!next_field(rest, path)) malformed(header);
        }
        change.b_path = path;
        changes.push_back(std::move(change));
    }
    if (!rest.empty()) malformed(rest);
    return changes;
}

std::string_view action_name(ActionKind kind) noexcept {
    switch (kind) {
    case ActionKind::create:
        return "create";
    case ActionKind::update:
        return "update";
    case ActionKind::remove:
        return "delete";
    case ActionKind::chmod:
        return "chmod";
    }
    return "";
}

std::vector<Action> plan_actions(const std::vector<Change>& changes) {
    Planner plan;
    const auto each = [&](char status, const auto& handle) {
        for (const auto& change : changes) {
            if (change.status == status) handle(change);
        }
    };
    for (const char status : {'M', 'T'}) each(status, [&](const Change& c) { plan.update(c); });
    each('D', [&](const Change& c) { plan.create(c.a_path, c.a_mode, c.a_blob); });
    for (const char status : {'A', 'C'}) each(status, [&](const Change& c) { plan.remove(c.a_path); });
    each('R', [&](const Change& c) {
        plan.remove(c.b_path);
        plan.create(c.a_path, c.a_mode, c.a_blob);
    });
    return plan.finish();
}

std::string failure_map_line(const std::vector<Action>& actions) {
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    for (const auto& action : actions) {
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [&](const auto& entry) { return entry.first == action.path; });
        if (found == entries.end()) {
            entries.emplace_back(action.path, action_name(action.kind));
        } else if (action.kind != ActionKind::chmod) {
            found->second = action_name(action.kind);
        }
    }
    std::string line = "{";
    for (const auto& [path, name] : entries) {
        if (line.size() > 1) line += ", ";
        line += python_repr(path);
        line += ": ";
        line += python_repr(name);
    }
    line += '}';
    return line;
}

std::string python_repr(std::string_view text) {
    const bool double_quoted = text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos;
    const char quote = double_quoted ? '"' : '\'';
    std::string out(1, quote);
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        const auto [cp, length] = decode(text, i, valid);
        if (!valid) {
            // Python holds an undecodable byte as a lone surrogate (surrogateescape).
            append_code_point_escape(out, 0xdc00 + cp);
        } else if (cp == static_cast<unsigned char>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp < 0x20 || cp == 0x7f || (cp >= 0x80 && !printable_non_ascii(cp))) {
            append_code_point_escape(out, cp);
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    out += quote;
    return out;
}

}  // namespace zorv_git_gitlab::working_copy

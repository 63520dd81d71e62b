// ISO 8601 dates and times as GitLab reads and writes them.
#include "http.hpp"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace zorv_sandbox {

std::string iso_from(std::chrono::system_clock::time_point t) {
    return iso_from(std::chrono::floor<std::chrono::microseconds>(t));
}

std::string iso_from(TimePoint t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const auto frac = ((ms % 1000) + 1000) % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    std::array<char, 40> buf{};
    const auto n = std::strftime(buf.data(), buf.size(), "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out(buf.data(), n);
    std::array<char, 8> f{};
    std::snprintf(f.data(), f.size(), ".%03d", static_cast<int>(frac));
    return out + f.data() + "Z";
}

std::string now_iso() { return iso_from(std::chrono::system_clock::now()); }

std::string date_in_days(int days) {
    return iso_from(std::chrono::system_clock::now() + std::chrono::hours(24) * days).substr(0, 10);
}

namespace {

// A cursor over "YYYY-MM-DD[(T| )HH:MM[:SS[.frac]]][Z|(+|-)HH[:]MM]".
struct IsoReader {
    std::string_view text;
    std::size_t pos = 0;

    // The `len` digits at `at`.
    bool number(std::size_t at, std::size_t len, int& out) const {
        if (at + len > text.size()) return false;
        const auto* first = text.data() + at;
        const auto r = std::from_chars(first, first + len, out);
        return r.ec == std::errc{} && r.ptr == first + len;
    }
    // Whether the next character is one of `chars`.
    [[nodiscard]] bool next_is(std::string_view chars) const {
        return pos < text.size() && chars.find(text[pos]) != std::string_view::npos;
    }
};

struct IsoFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::int64_t micros = 0;
    int offset_minutes = 0;
};

// Each step reads one part and returns false when the text is malformed.
bool read_date(IsoReader& in, IsoFields& f) {
    const auto& text = in.text;
    if (!in.number(0, 4, f.year) || text.size() < 10 || text[4] != '-' || !in.number(5, 2, f.month) ||
        text[7] != '-' || !in.number(8, 2, f.day)) {
        return false;
    }
    in.pos = 10;
    return true;
}

// Digits after the decimal mark, to the microsecond; further digits are read and ignored.
void read_fraction(IsoReader& in, IsoFields& f) {
    ++in.pos;
    std::int64_t scale = 100000;
    while (in.pos < in.text.size() && std::isdigit(static_cast<unsigned char>(in.text[in.pos])) != 0) {
        f.micros += (in.text[in.pos] - '0') * scale;
        scale /= 10;
        ++in.pos;
    }
}

// The separator, HH:MM, then optional seconds with an optional fraction.
bool read_clock(IsoReader& in, IsoFields& f) {
    const std::size_t pos = in.pos;
    if (!in.number(pos + 1, 2, f.hour) || pos + 3 >= in.text.size() || in.text[pos + 3] != ':' ||
        !in.number(pos + 4, 2, f.minute)) {
        return false;
    }
    in.pos += 6;
    if (!in.next_is(":")) return true;
    if (!in.number(in.pos + 1, 2, f.second)) return false;
    in.pos += 3;
    if (in.next_is(".,")) read_fraction(in, f);
    return true;
}

// Nothing, Z, or an offset: +HH, +HHMM or +HH:MM (or with '-').
bool read_zone(IsoReader& in, IsoFields& f) {
    if (in.next_is("Zz")) {
        ++in.pos;
        return true;
    }
    if (!in.next_is("+-")) return true;
    const int sign = in.text[in.pos] == '-' ? -1 : 1;
    int oh = 0, om = 0;
    if (!in.number(in.pos + 1, 2, oh)) return false;
    in.pos += 3;
    if (in.next_is(":")) ++in.pos;
    if (in.pos < in.text.size()) {
        if (!in.number(in.pos, 2, om)) return false;
        in.pos += 2;
    }
    f.offset_minutes = sign * (oh * 60 + om);
    return true;
}

// The instant the fields name, when they name a real date and time.
std::optional<TimePoint> time_of(const IsoFields& f) {
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.hour > 23 || f.minute > 59 || f.second > 60)
        return std::nullopt;
    using namespace std::chrono;
    const auto date = year_month_day{std::chrono::year{f.year}, std::chrono::month{static_cast<unsigned>(f.month)},
                                     std::chrono::day{static_cast<unsigned>(f.day)}};
    if (!date.ok()) return std::nullopt;
    const auto tp = sys_days{date} + hours{f.hour} + minutes{f.minute} + seconds{f.second} +
                    microseconds{f.micros} - minutes{f.offset_minutes};
    return time_point_cast<microseconds>(tp);
}

}  // namespace

std::optional<TimePoint> parse_iso(std::string_view text) {
    IsoReader in{text};
    IsoFields f;
    if (!read_date(in, f)) return std::nullopt;
    if (in.next_is("Tt ") && !(read_clock(in, f) && read_zone(in, f))) return std::nullopt;
    if (in.pos != text.size()) return std::nullopt;
    return time_of(f);
}

}  // namespace zorv_sandbox

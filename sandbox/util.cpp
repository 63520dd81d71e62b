// Answers, paging, parameter reading and small text helpers shared by every route.
#include "server.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <ctime>
#include <random>

namespace zorv_sandbox {

void send_json(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void send_message(httplib::Response& res, int status, const Json& message) {
    send_json(res, status, Json{{"message", message}});
}

void send_error(httplib::Response& res, int status, const std::string& text) {
    send_json(res, status, Json{{"error", text}});
}

void send_empty(httplib::Response& res, int status) {
    res.status = status;
    res.body.clear();
}

// ---------------------------------------------------------------------------------------------
// Percent-encoding

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(plus_is_space && c == '+' ? ' ' : c);
    }
    return out;
}

}  // namespace

std::string percent_decode(std::string_view text) { return decode(text, false); }
std::string form_decode(std::string_view text) { return decode(text, true); }

std::string percent_encode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Time

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

std::string random_hex(std::size_t bytes) {
    std::random_device rd;
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = static_cast<unsigned>(rd()) & 0xffU;
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Parameters

namespace {

// Rack's nested parameter rules, enough for GitLab's clients: "a" sets a value, "a[]" appends to
// an array, "a[b]" sets a key of an object, "a[][b]" sets a key of the last object of an array
// (starting a new object when that key is already present).
void put_nested(Json& target, std::string_view name, Json value) {
    const auto bracket = name.find('[');
    if (bracket == std::string_view::npos || bracket == 0) {
        target[std::string(name)] = std::move(value);
        return;
    }
    const std::string key(name.substr(0, bracket));
    std::string_view rest = name.substr(bracket);
    if (rest == "[]") {
        Json& arr = target[key];
        if (!arr.is_array()) arr = Json::array();
        arr.push_back(std::move(value));
        return;
    }
    if (rest.starts_with("[]")) {
        // "[][child]..." : into the last object of the array
        const auto close = rest.find(']', 2);
        if (rest.size() < 4 || rest[2] != '[' || close == std::string_view::npos) {
            target[std::string(name)] = std::move(value);
            return;
        }
        const std::string child_path = std::string(rest.substr(3, close - 3)) + std::string(rest.substr(close + 1));
        const std::string child_key(rest.substr(3, close - 3));
        Json& arr = target[key];
        if (!arr.is_array()) arr = Json::array();
        if (arr.empty() || !arr.back().is_object() || arr.back().contains(child_key)) arr.push_back(Json::object());
        put_nested(arr.back(), child_path, std::move(value));
        return;
    }
    const auto close = rest.find(']');
    if (close == std::string_view::npos) {
        target[std::string(name)] = std::move(value);
        return;
    }
    const std::string child_path = std::string(rest.substr(1, close - 1)) + std::string(rest.substr(close + 1));
    Json& obj = target[key];
    if (!obj.is_object()) obj = Json::object();
    put_nested(obj, child_path, std::move(value));
}

void parse_form(std::string_view text, Json& into) {
    while (!text.empty()) {
        const auto amp = text.find('&');
        const auto pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        const std::string name = form_decode(pair.substr(0, eq));
        const std::string value = eq == std::string_view::npos ? std::string{} : form_decode(pair.substr(eq + 1));
        if (!name.empty()) put_nested(into, name, Json(value));
    }
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

Json params(const httplib::Request& req) {
    Json out = Json::object();
    const auto q = req.target.find('?');
    if (q != std::string::npos) parse_form(std::string_view(req.target).substr(q + 1), out);

    const std::string type = lower(req.get_header_value("Content-Type"));
    if (type.starts_with("application/json")) {
        const auto first = req.body.find_first_not_of(" \t\r\n");
        if (first != std::string::npos) {
            Json body;
            try {
                body = Json::parse(req.body);
            } catch (const Json::parse_error&) {
                throw ApiError::error(400, "The provided content-type 'application/json' did not match the body");
            }
            if (body.is_object()) {
                for (auto& [k, v] : body.items()) out[k] = v;
            }
        }
    } else if (type.starts_with("application/x-www-form-urlencoded")) {
        parse_form(req.body, out);
    } else if (type.starts_with("multipart/form-data")) {
        for (const auto& [name, file] : req.files) put_nested(out, name, Json(file.content));
    }
    return out;
}

std::optional<std::string> param_string(const Json& p, const std::string& key) {
    const auto it = p.find(key);
    if (it == p.end() || it->is_null()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<std::int64_t>());
    if (it->is_number() || it->is_boolean()) return it->dump();
    throw ApiError::error(400, key + " is invalid");
}

std::optional<std::int64_t> param_int(const Json& p, const std::string& key) {
    const auto it = p.find(key);
    if (it == p.end() || it->is_null()) return std::nullopt;
    if (it->is_number_integer()) return it->get<std::int64_t>();
    if (it->is_string()) {
        const auto s = it->get<std::string>();
        std::int64_t v = 0;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        if (!s.empty() && r.ec == std::errc{} && r.ptr == s.data() + s.size()) return v;
    }
    throw ApiError::error(400, key + " is invalid");
}

std::optional<bool> param_bool(const Json& p, const std::string& key) {
    const auto it = p.find(key);
    if (it == p.end() || it->is_null()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        if (v == 1) return true;
        if (v == 0) return false;
    }
    if (it->is_string()) {
        static constexpr std::array<std::string_view, 14> yes{"1", "on",   "On",  "ON",  "t",   "true", "True",
                                                              "TRUE", "T", "y", "yes", "Yes", "YES", "Y"};
        static constexpr std::array<std::string_view, 14> no{"0",     "off", "Off", "OFF", "f",  "false", "False",
                                                             "FALSE", "F",   "n",   "no",  "No", "NO",    "N"};
        const auto s = it->get<std::string>();
        if (std::find(yes.begin(), yes.end(), s) != yes.end()) return true;
        if (std::find(no.begin(), no.end(), s) != no.end()) return false;
    }
    throw ApiError::error(400, key + " is invalid");
}

void require_params(const Json& p, std::initializer_list<const char*> keys) {
    std::string missing;
    for (const char* key : keys) {
        const auto it = p.find(key);
        const bool absent = it == p.end() || it->is_null() || (it->is_string() && it->get<std::string>().empty()) ||
                            (it->is_array() && it->empty());
        if (absent) {
            if (!missing.empty()) missing += ", ";
            missing += std::string(key) + " is missing";
        }
    }
    if (!missing.empty()) throw ApiError::error(400, missing);
}

// ---------------------------------------------------------------------------------------------
// Paging

Page page_of(const Json& p) {
    Page page;
    auto read = [&](const char* key, std::int64_t fallback) {
        try {
            const auto v = param_int(p, key);
            return v && *v > 0 ? *v : fallback;
        } catch (const ApiError&) {
            throw ApiError::error(400, std::string(key) + " is invalid");
        }
    };
    page.page = read("page", 1);
    page.per_page = std::min<std::int64_t>(read("per_page", 20), 100);
    return page;
}

namespace {

// Ruby's CGI.escape, which Rails' to_query uses: a space becomes '+'.
std::string query_escape(std::string_view text) {
    std::string out;
    for (std::size_t start = 0; start <= text.size();) {
        const auto space = text.find(' ', start);
        out += percent_encode(text.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
        if (space == std::string_view::npos) break;
        out += '+';
        start = space + 1;
    }
    return out;
}

// The request's query parameters with page and per_page replaced, keys sorted (Rails' to_query).
std::string page_href(const httplib::Request& req, std::int64_t page, std::int64_t per_page) {
    std::map<std::string, std::vector<std::string>> query;
    const auto q = req.target.find('?');
    const std::string path = req.target.substr(0, q);
    if (q != std::string::npos) {
        std::string_view text = std::string_view(req.target).substr(q + 1);
        while (!text.empty()) {
            const auto amp = text.find('&');
            const auto pair = text.substr(0, amp);
            text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
            if (pair.empty()) continue;
            const auto eq = pair.find('=');
            const std::string name = form_decode(pair.substr(0, eq));
            if (name == "page" || name == "per_page") continue;
            query[name].push_back(eq == std::string_view::npos ? std::string{} : form_decode(pair.substr(eq + 1)));
        }
    }
    query["page"] = {std::to_string(page)};
    query["per_page"] = {std::to_string(per_page)};
    std::string out;
    for (const auto& [name, values] : query) {
        for (const auto& v : values) {
            if (!out.empty()) out += '&';
            out += query_escape(name) + '=' + query_escape(v);
        }
    }
    const std::string host = req.local_addr.find(':') != std::string::npos ? "[" + req.local_addr + "]" : req.local_addr;
    return "https://" + host + ":" + std::to_string(req.local_port) + path + "?" + out;
}

}  // namespace

void send_page(const httplib::Request& req, httplib::Response& res, const Json& items, PageOptions options) {
    const Page page = page_of(params(req));
    const auto total = static_cast<std::int64_t>(items.size());
    Json slice = Json::array();
    const auto first = std::min<std::int64_t>(static_cast<std::int64_t>(page.offset()), total);
    const auto last = std::min<std::int64_t>(first + page.per_page, total);
    for (auto i = first; i < last; ++i) slice.push_back(items[static_cast<std::size_t>(i)]);

    std::optional<std::int64_t> next;
    std::optional<std::int64_t> prev;
    const std::int64_t total_pages = (total + page.per_page - 1) / page.per_page;  // 0 when empty
    if (options.count_total) {
        const bool out_of_range = page.page > total_pages;
        if (!out_of_range && page.page < total_pages) next = page.page + 1;
        if (!out_of_range && page.page > 1) prev = page.page - 1;
    } else {
        if (static_cast<std::int64_t>(slice.size()) == page.per_page) next = page.page + 1;
        if (page.page > 1) prev = page.page - 1;
    }

    std::string link;
    auto add_link = [&](std::int64_t p, const char* rel) {
        if (!link.empty()) link += ", ";
        link += "<" + page_href(req, p, page.per_page) + ">; rel=\"" + rel + "\"";
    };
    if (prev) add_link(*prev, "prev");
    if (next) add_link(*next, "next");
    add_link(1, "first");
    if (options.count_total) add_link(std::max<std::int64_t>(total_pages, 1), "last");

    res.set_header("X-Per-Page", std::to_string(page.per_page));
    res.set_header("X-Page", std::to_string(page.page));
    res.set_header("X-Next-Page", next ? std::to_string(*next) : "");
    res.set_header("X-Prev-Page", prev ? std::to_string(*prev) : "");
    res.set_header("Link", link);
    if (options.count_total) {
        res.set_header("X-Total", std::to_string(total));
        res.set_header("X-Total-Pages", std::to_string(std::max<std::int64_t>(total_pages, 1)));
    }
    send_json(res, 200, slice);
}

std::string upper_ascii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string date_in_days(int days) {
    return iso_from(std::chrono::system_clock::now() + std::chrono::hours(24) * days).substr(0, 10);
}

}  // namespace zorv_sandbox

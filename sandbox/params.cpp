// Parameters of a request as GitLab reads them, and the typed readers routes use.
#include "http.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace zorv_sandbox {

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
    for (auto& [name, value] : form_pairs(text)) {
        if (!name.empty()) put_nested(into, name, Json(std::move(value)));
    }
}

}  // namespace

Json params(const httplib::Request& req) {
    Json out = Json::object();
    const auto q = req.target.find('?');
    if (q != std::string::npos) parse_form(std::string_view(req.target).substr(q + 1), out);

    const std::string type = lower_ascii(req.get_header_value("Content-Type"));
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

Json json_body(const httplib::Request& req) {
    if (req.body.find_first_not_of(" \t\r\n") == std::string::npos) return Json::object();
    try {
        Json j = Json::parse(req.body);
        if (j.is_object()) return j;
    } catch (const Json::parse_error&) {
    }
    throw ApiError::message(400, "the body must be a JSON object");
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

}  // namespace zorv_sandbox

#include "working_copy/server_commit.hpp"

#include <charconv>
#include <chrono>
#include <vector>

namespace zorv_git_gitlab::working_copy {
namespace {

// The number at text[pos, pos + digits), or no value.
std::optional<int> number(std::string_view text, std::size_t pos, std::size_t digits) {
    if (pos + digits > text.size()) return std::nullopt;
    int value = 0;
    const char* first = text.data() + pos;
    const auto [end, ec] = std::from_chars(first, first + digits, value);
    if (ec != std::errc{} || end != first + digits) return std::nullopt;
    return value;
}

std::optional<std::string> text_field(const Json& answer, const char* key) {
    const auto it = answer.find(key);
    if (it == answer.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// "Name <email> <seconds> <zone>" of the answer's author or committer.
std::optional<std::string> ident(const Json& answer, const std::string& who, const char* date_key) {
    const auto name = text_field(answer, (who + "_name").c_str());
    const auto email = text_field(answer, (who + "_email").c_str());
    const auto date = text_field(answer, date_key);
    if (!name || !email || !date) return std::nullopt;
    const auto when = git_date(*date);
    if (!when) return std::nullopt;
    return *name + " <" + *email + "> " + *when;
}

}  // namespace

std::optional<std::string> git_date(std::string_view iso) {
    // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
    if (iso.size() < 20 || iso[4] != '-' || iso[7] != '-' || iso[10] != 'T' || iso[13] != ':' || iso[16] != ':') {
        return std::nullopt;
    }
    const auto year = number(iso, 0, 4), month = number(iso, 5, 2), day = number(iso, 8, 2);
    const auto hour = number(iso, 11, 2), minute = number(iso, 14, 2), second = number(iso, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    std::size_t pos = 19;
    if (iso[pos] == '.') {
        ++pos;
        while (pos < iso.size() && iso[pos] >= '0' && iso[pos] <= '9') ++pos;
    }
    const std::string_view zone = iso.substr(pos);
    int offset_minutes = 0;
    std::string zone_text = "+0000";
    if (zone != "Z") {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
        const auto zone_hours = number(zone, 1, 2), zone_minutes = number(zone, 4, 2);
        if (!zone_hours || !zone_minutes) return std::nullopt;
        offset_minutes = (zone[0] == '-' ? -1 : 1) * (*zone_hours * 60 + *zone_minutes);
        zone_text = std::string(1, zone[0]) + std::string(zone.substr(1, 2)) + std::string(zone.substr(4, 2));
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{*year}, std::chrono::month{static_cast<unsigned>(*month)},
                              std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok()) return std::nullopt;
    const auto local = sys_days{date} + hours{*hour} + minutes{*minute} + seconds{*second};
    const auto utc = local - minutes{offset_minutes};
    return std::to_string(utc.time_since_epoch().count()) + " " + zone_text;
}

std::string commit_object(const std::string& tree, const Json& answer, std::string_view message) {
    std::string text = "tree " + tree + "\n";
    if (const auto parents = answer.find("parent_ids"); parents != answer.end() && parents->is_array()) {
        for (const auto& parent : *parents) {
            if (parent.is_string()) text += "parent " + parent.get<std::string>() + "\n";
        }
    }
    text += "author " + ident(answer, "author", "authored_date").value_or("") + "\n";
    text += "committer " + ident(answer, "committer", "committed_date").value_or("") + "\n";
    text += "\n";
    text += message;
    return text;
}

bool adopt_server_commit(const GitRunner& git, const Json& answer, const std::string& tree,
                         const std::string& parent) {
    if (!answer.is_object()) return false;
    const auto id = text_field(answer, "id");
    const auto message = text_field(answer, "message");
    const auto parents = answer.find("parent_ids");
    if (!id || !message || parents == answer.end() || *parents != Json::array({parent}) ||
        !ident(answer, "author", "authored_date") || !ident(answer, "committer", "committed_date")) {
        return false;
    }
    // The server stores the message as given, or with a final newline added.
    std::vector<std::string> candidates{*message};
    if (message->empty() || message->back() != '\n') candidates.push_back(*message + "\n");
    for (const auto& candidate : candidates) {
        const std::string object = commit_object(tree, answer, candidate);
        if (git.output({"hash-object", "-t", "commit", "--stdin"}, {.stdin_data = object}) != *id) continue;
        git.run({"hash-object", "-t", "commit", "-w", "--stdin"}, {.stdin_data = object});
        return true;
    }
    return false;
}

}  // namespace zorv_git_gitlab::working_copy

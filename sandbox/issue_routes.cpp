// Issues and their notes.
#include "records.hpp"

#include <algorithm>
#include <set>

namespace zorv_sandbox {

namespace {

const Json kIssueTypes = Json::array({"issue", "incident", "test_case", "task"});

// Labels from a comma-separated string or an array: trimmed, without blanks and repeats, sorted
// by title as GitLab answers them.
Json label_list(const Json& value) {
    std::vector<std::string> parts;
    auto add = [&](std::string_view text) {
        while (!text.empty()) {
            const auto comma = text.find(',');
            std::string_view one = text.substr(0, comma);
            while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
            while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
            if (!one.empty()) parts.emplace_back(one);
            if (comma == std::string_view::npos) break;
            text.remove_prefix(comma + 1);
        }
    };
    if (value.is_string()) add(value.get<std::string>());
    else if (value.is_array()) {
        for (const auto& v : value) {
            if (v.is_string()) add(v.get<std::string>());
        }
    }
    std::set<std::string> unique(parts.begin(), parts.end());
    return Json(std::vector<std::string>(unique.begin(), unique.end()));
}

std::int64_t iid_of(const Context& ctx) {
    const auto iid = numeric_id(ctx.arg("issue_iid"));
    if (!iid) throw ApiError::message(404, "404 Issue Not Found");
    return *iid;
}

Json* find_issue(State& s, std::int64_t project_id, std::int64_t iid) {
    for (auto& [id, issue] : s.issues) {
        if (issue["project_id"] == project_id && issue["iid"] == iid) return &issue;
    }
    return nullptr;
}

Json& issue_or_404(State& s, std::int64_t project_id, std::int64_t iid) {
    Json* issue = find_issue(s, project_id, iid);
    if (issue == nullptr) throw ApiError::message(404, "404 Issue Not Found");
    return *issue;
}

}  // namespace

void register_issue_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects/:id/issues", [](Context& ctx) {
        const auto project = ctx.project();
        const Json& p = ctx.params();
        require_params(p, {"title"});
        const auto title = *param_string(p, "title");
        const auto issue_type = param_string(p, "issue_type").value_or("issue");
        if (std::find(kIssueTypes.begin(), kIssueTypes.end(), Json(issue_type)) == kIssueTypes.end()) {
            throw ApiError::error(400, "issue_type does not have a valid value");
        }
        const auto description = param_string(p, "description");
        const Json labels = p.contains("labels") ? label_list(p["labels"]) : Json::array();
        const bool confidential = param_bool(p, "confidential").value_or(false);
        const auto due_date = param_string(p, "due_date");
        const auto caller = *ctx.caller;
        const auto base = ctx.sandbox.base_url();
        const Json out = ctx.sandbox.write([&](State& s) {
            auto& entry = s.projects.at(project.id);
            const auto id = s.next_issue_id++;
            const auto iid = entry.next_issue_iid++;
            const auto full_path = entry.record["path_with_namespace"].get<std::string>();
            const auto now = now_iso();
            const auto api = base + "/api/v4/projects/" + std::to_string(project.id);
            std::string type_upper = issue_type;
            std::transform(type_upper.begin(), type_upper.end(), type_upper.begin(),
                           [](unsigned char c) { return std::toupper(c); });
            Json issue = Json{
                {"id", id},
                {"iid", iid},
                {"project_id", project.id},
                {"title", title},
                {"description", description ? Json(*description) : Json(nullptr)},
                {"state", "opened"},
                {"created_at", now},
                {"updated_at", now},
                {"closed_at", nullptr},
                {"closed_by", nullptr},
                {"labels", labels},
                {"milestone", nullptr},
                {"assignees", Json::array()},
                {"author", ctx.sandbox.user_record(s, caller.user_id)},
                {"type", type_upper},
                {"assignee", nullptr},
                {"user_notes_count", 0},
                {"merge_requests_count", 0},
                {"upvotes", 0},
                {"downvotes", 0},
                {"due_date", due_date ? Json(*due_date) : Json(nullptr)},
                {"confidential", confidential},
                {"discussion_locked", nullptr},
                {"issue_type", issue_type},
                {"web_url", base + "/" + full_path + "/-/issues/" + std::to_string(iid)},
                {"time_stats",
                 Json{{"time_estimate", 0},
                      {"total_time_spent", 0},
                      {"human_time_estimate", nullptr},
                      {"human_total_time_spent", nullptr}}},
                {"task_completion_status", Json{{"count", 0}, {"completed_count", 0}}},
                {"has_tasks", true},
                {"task_status", "0 of 0 checklist items completed"},
                {"_links",
                 Json{{"self", api + "/issues/" + std::to_string(iid)},
                      {"notes", api + "/issues/" + std::to_string(iid) + "/notes"},
                      {"award_emoji", api + "/issues/" + std::to_string(iid) + "/award_emoji"},
                      {"project", api},
                      {"closed_as_duplicate_of", nullptr}}},
                {"references",
                 Json{{"short", "#" + std::to_string(iid)},
                      {"relative", "#" + std::to_string(iid)},
                      {"full", full_path + "#" + std::to_string(iid)}}},
                {"severity", "UNKNOWN"},
                {"subscribed", true},
                {"moved_to_id", nullptr},
                {"service_desk_reply_to", nullptr},
            };
            s.issues[id] = issue;
            entry.record["last_activity_at"] = now;
            return issue;
        });
        send_json(ctx.res, 201, out);
    });

    sb.route("GET", "/api/v4/projects/:id/issues", [](Context& ctx) {
        const auto project = ctx.project();
        const auto state = param_string(ctx.params(), "state").value_or("all");
        if (state != "all" && state != "opened" && state != "closed") {
            throw ApiError::error(400, "state does not have a valid value");
        }
        Json list = ctx.sandbox.read([&](const State& s) {
            Json out = Json::array();
            for (auto it = s.issues.rbegin(); it != s.issues.rend(); ++it) {  // newest first
                const auto& issue = it->second;
                if (issue["project_id"] != project.id) continue;
                if (state != "all" && issue["state"] != state) continue;
                out.push_back(issue);
            }
            return out;
        });
        send_page(ctx.req, ctx.res, list);
    });

    sb.route("GET", "/api/v4/projects/:id/issues/:issue_iid", [](Context& ctx) {
        const auto project = ctx.project();
        const auto iid = iid_of(ctx);
        send_json(ctx.res, 200, ctx.sandbox.read([&](const State& s) {
            for (const auto& [id, issue] : s.issues) {
                if (issue["project_id"] == project.id && issue["iid"] == iid) return issue;
            }
            throw ApiError::message(404, "404 Issue Not Found");
        }));
    });

    sb.route("PUT", "/api/v4/projects/:id/issues/:issue_iid", [](Context& ctx) {
        const auto project = ctx.project();
        const auto iid = iid_of(ctx);
        const Json& p = ctx.params();
        static const std::vector<std::string> known{"title", "description", "state_event", "labels", "add_labels",
                                                    "remove_labels", "confidential", "due_date", "issue_type",
                                                    "discussion_locked", "assignee_ids", "milestone_id"};
        if (std::none_of(known.begin(), known.end(), [&](const std::string& k) { return p.contains(k); })) {
            std::string all;
            for (const auto& k : known) all += (all.empty() ? "" : ", ") + k;
            throw ApiError::error(400, all + " are missing, at least one parameter must be provided");
        }
        const auto state_event = param_string(p, "state_event");
        if (state_event && *state_event != "close" && *state_event != "reopen") {
            throw ApiError::error(400, "state_event does not have a valid value");
        }
        const auto caller = *ctx.caller;
        const Json out = ctx.sandbox.write([&](State& s) {
            Json& issue = issue_or_404(s, project.id, iid);
            const auto now = now_iso();
            if (const auto title = param_string(p, "title")) issue["title"] = *title;
            if (p.contains("description")) {
                const auto d = param_string(p, "description");
                issue["description"] = d ? Json(*d) : Json(nullptr);
            }
            if (p.contains("labels")) issue["labels"] = label_list(p["labels"]);
            if (p.contains("add_labels")) {
                Json all = issue["labels"];
                for (const auto& l : label_list(p["add_labels"])) all.push_back(l);
                issue["labels"] = label_list(all);
            }
            if (p.contains("remove_labels")) {
                const Json gone = label_list(p["remove_labels"]);
                Json kept = Json::array();
                for (const auto& l : issue["labels"]) {
                    if (std::find(gone.begin(), gone.end(), l) == gone.end()) kept.push_back(l);
                }
                issue["labels"] = kept;
            }
            if (const auto c = param_bool(p, "confidential")) issue["confidential"] = *c;
            if (p.contains("due_date")) {
                const auto d = param_string(p, "due_date");
                issue["due_date"] = d && !d->empty() ? Json(*d) : Json(nullptr);
            }
            if (state_event == "close" && issue["state"] == "opened") {
                issue["state"] = "closed";
                issue["closed_at"] = now;
                issue["closed_by"] = ctx.sandbox.user_record(s, caller.user_id);
            } else if (state_event == "reopen" && issue["state"] == "closed") {
                issue["state"] = "opened";
                issue["closed_at"] = nullptr;
                issue["closed_by"] = nullptr;
            }
            issue["updated_at"] = now;
            return issue;
        });
        send_json(ctx.res, 200, out);
    });

    sb.route("POST", "/api/v4/projects/:id/issues/:issue_iid/notes", [](Context& ctx) {
        const auto project = ctx.project();
        const auto iid = iid_of(ctx);
        const Json& p = ctx.params();
        require_params(p, {"body"});
        const auto body = *param_string(p, "body");
        const bool internal = param_bool(p, "internal").value_or(param_bool(p, "confidential").value_or(false));
        const auto caller = *ctx.caller;
        const Json out = ctx.sandbox.write([&](State& s) {
            Json& issue = issue_or_404(s, project.id, iid);
            const auto id = s.next_note_id++;
            const auto now = now_iso();
            Json note = Json{{"id", id},
                             {"type", nullptr},
                             {"body", body},
                             {"author", ctx.sandbox.user_record(s, caller.user_id)},
                             {"created_at", now},
                             {"updated_at", now},
                             {"system", false},
                             {"noteable_id", issue["id"]},
                             {"noteable_type", "Issue"},
                             {"project_id", project.id},
                             {"resolvable", false},
                             {"confidential", internal},
                             {"internal", internal},
                             {"imported", false},
                             {"imported_from", "none"},
                             {"noteable_iid", iid},
                             {"commands_changes", Json::object()}};
            s.notes[id] = note;
            issue["user_notes_count"] = issue["user_notes_count"].get<std::int64_t>() + 1;
            issue["updated_at"] = now;
            return note;
        });
        send_json(ctx.res, 201, out);
    });

    sb.route("GET", "/api/v4/projects/:id/issues/:issue_iid/notes", [](Context& ctx) {
        const auto project = ctx.project();
        const auto iid = iid_of(ctx);
        const auto sort = param_string(ctx.params(), "sort").value_or("desc");
        Json list = ctx.sandbox.read([&](const State& s) {
            std::int64_t issue_id = -1;
            for (const auto& [id, issue] : s.issues) {
                if (issue["project_id"] == project.id && issue["iid"] == iid) issue_id = id;
            }
            if (issue_id < 0) throw ApiError::message(404, "404 Issue Not Found");
            Json out = Json::array();
            for (const auto& [id, note] : s.notes) {
                if (note["noteable_type"] == "Issue" && note["noteable_id"] == issue_id) out.push_back(note);
            }
            if (sort == "desc") std::reverse(out.begin(), out.end());
            return out;
        });
        send_page(ctx.req, ctx.res, list);
    });
}

}  // namespace zorv_sandbox

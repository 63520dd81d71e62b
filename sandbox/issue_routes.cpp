// Issues and their notes.
#include "routes.hpp"

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

const Json& issue_or_404(const State& s, std::int64_t project_id, std::int64_t iid) {
    for (const auto& [id, issue] : s.issues) {
        if (issue["project_id"] == project_id && issue["iid"] == iid) return issue;
    }
    throw ApiError::message(404, "404 Issue Not Found");
}

Json& issue_or_404(State& s, std::int64_t project_id, std::int64_t iid) {
    return const_cast<Json&>(issue_or_404(static_cast<const State&>(s), project_id, iid));
}

// The parameters of POST /projects/:id/issues, read and checked before the state is touched.
struct NewIssue {
    std::string title;
    std::string issue_type;
    std::optional<std::string> description;
    Json labels;
    bool confidential = false;
    std::optional<std::string> due_date;
};

NewIssue new_issue_params(const Json& p) {
    require_params(p, {"title"});
    NewIssue n;
    n.title = *param_string(p, "title");
    n.issue_type = param_string(p, "issue_type").value_or("issue");
    if (std::find(kIssueTypes.begin(), kIssueTypes.end(), Json(n.issue_type)) == kIssueTypes.end()) {
        throw ApiError::error(400, "issue_type does not have a valid value");
    }
    n.description = param_string(p, "description");
    n.labels = p.contains("labels") ? label_list(p["labels"]) : Json::array();
    n.confidential = param_bool(p, "confidential").value_or(false);
    n.due_date = param_string(p, "due_date");
    return n;
}

Json issue_links(const std::string& project_api, const std::string& iid) {
    const auto self = project_api + "/issues/" + iid;
    return Json{{"self", self},
                {"notes", self + "/notes"},
                {"award_emoji", self + "/award_emoji"},
                {"project", project_api},
                {"closed_as_duplicate_of", nullptr}};
}

Json issue_record(const std::string& base, const ProjectEntry& project, std::int64_t id, std::int64_t iid,
                  const NewIssue& n, const Json& author, const std::string& now) {
    const auto project_id = project.record["id"].get<std::int64_t>();
    const auto full_path = project.record["path_with_namespace"].get<std::string>();
    const auto api = base + "/api/v4/projects/" + std::to_string(project_id);
    const auto number = std::to_string(iid);
    return Json{
        {"id", id},
        {"iid", iid},
        {"project_id", project_id},
        {"title", n.title},
        {"description", n.description ? Json(*n.description) : Json(nullptr)},
        {"state", "opened"},
        {"created_at", now},
        {"updated_at", now},
        {"closed_at", nullptr},
        {"closed_by", nullptr},
        {"labels", n.labels},
        {"milestone", nullptr},
        {"assignees", Json::array()},
        {"author", author},
        {"type", upper_ascii(n.issue_type)},
        {"assignee", nullptr},
        {"user_notes_count", 0},
        {"merge_requests_count", 0},
        {"upvotes", 0},
        {"downvotes", 0},
        {"due_date", n.due_date ? Json(*n.due_date) : Json(nullptr)},
        {"confidential", n.confidential},
        {"discussion_locked", nullptr},
        {"issue_type", n.issue_type},
        {"web_url", base + "/" + full_path + "/-/issues/" + number},
        {"time_stats",
         Json{{"time_estimate", 0}, {"total_time_spent", 0}, {"human_time_estimate", nullptr},
              {"human_total_time_spent", nullptr}}},
        {"task_completion_status", Json{{"count", 0}, {"completed_count", 0}}},
        {"has_tasks", true},
        {"task_status", "0 of 0 checklist items completed"},
        {"_links", issue_links(api, number)},
        {"references", Json{{"short", "#" + number}, {"relative", "#" + number}, {"full", full_path + "#" + number}}},
        {"severity", "UNKNOWN"},
        {"subscribed", true},
        {"moved_to_id", nullptr},
        {"service_desk_reply_to", nullptr},
    };
}

void create_issue(Context& ctx) {
    const auto project = ctx.project();
    const NewIssue wanted = new_issue_params(ctx.params());
    const auto caller = *ctx.caller;
    const auto base = ctx.sandbox.base_url();
    const Json out = ctx.sandbox.write([&](State& s) {
        auto& entry = s.projects.at(project.id);
        const auto id = s.next_issue_id++;
        const auto iid = entry.next_issue_iid++;
        const auto now = now_iso();
        s.issues[id] = issue_record(base, entry, id, iid, wanted, ctx.sandbox.user_record(s, caller.user_id), now);
        entry.record["last_activity_at"] = now;
        return s.issues[id];
    });
    send_json(ctx.res, 201, out);
}

void list_issues(Context& ctx) {
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
}

void get_issue(Context& ctx) {
    const auto project = ctx.project();
    const auto iid = iid_of(ctx);
    send_json(ctx.res, 200, ctx.sandbox.read([&](const State& s) { return issue_or_404(s, project.id, iid); }));
}

// PUT needs at least one of the fields it changes, and a known state event.
void check_issue_update(const Json& p) {
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
}

void apply_label_changes(Json& issue, const Json& p) {
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
}

void apply_issue_fields(Json& issue, const Json& p) {
    if (const auto title = param_string(p, "title")) issue["title"] = *title;
    if (p.contains("description")) {
        const auto d = param_string(p, "description");
        issue["description"] = d ? Json(*d) : Json(nullptr);
    }
    apply_label_changes(issue, p);
    if (const auto c = param_bool(p, "confidential")) issue["confidential"] = *c;
    if (p.contains("due_date")) {
        const auto d = param_string(p, "due_date");
        issue["due_date"] = d && !d->empty() ? Json(*d) : Json(nullptr);
    }
}

// close and reopen; `closed_at` and `closed_by` follow the state.
void apply_state_event(Json& issue, const std::optional<std::string>& event, const Json& user, const std::string& now) {
    if (event == "close" && issue["state"] == "opened") {
        issue["state"] = "closed";
        issue["closed_at"] = now;
        issue["closed_by"] = user;
    } else if (event == "reopen" && issue["state"] == "closed") {
        issue["state"] = "opened";
        issue["closed_at"] = nullptr;
        issue["closed_by"] = nullptr;
    }
}

void update_issue(Context& ctx) {
    const auto project = ctx.project();
    const auto iid = iid_of(ctx);
    const Json& p = ctx.params();
    check_issue_update(p);
    const auto caller = *ctx.caller;
    const Json out = ctx.sandbox.write([&](State& s) {
        Json& issue = issue_or_404(s, project.id, iid);
        const auto now = now_iso();
        apply_issue_fields(issue, p);
        apply_state_event(issue, param_string(p, "state_event"), ctx.sandbox.user_record(s, caller.user_id), now);
        issue["updated_at"] = now;
        return issue;
    });
    send_json(ctx.res, 200, out);
}

Json note_record(std::int64_t id, const std::string& body, const Json& author, const Json& issue, bool internal,
                 const std::string& now) {
    return Json{{"id", id},
                {"type", nullptr},
                {"body", body},
                {"attachment", nullptr},  // Note#attachment_identifier: no uploads here
                {"author", author},
                {"created_at", now},
                {"updated_at", now},
                {"system", false},
                {"noteable_id", issue["id"]},
                {"noteable_type", "Issue"},
                {"project_id", issue["project_id"]},
                {"resolvable", false},
                {"confidential", internal},
                {"internal", internal},
                {"imported", false},
                {"imported_from", "none"},
                {"noteable_iid", issue["iid"]},
                {"commands_changes", Json::object()}};
}

void create_note(Context& ctx) {
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
        s.notes[id] = note_record(id, body, ctx.sandbox.user_record(s, caller.user_id), issue, internal, now);
        issue["user_notes_count"] = issue["user_notes_count"].get<std::int64_t>() + 1;
        issue["updated_at"] = now;
        return s.notes[id];
    });
    send_json(ctx.res, 201, out);
}

void list_notes(Context& ctx) {
    const auto project = ctx.project();
    const auto iid = iid_of(ctx);
    const auto sort = param_string(ctx.params(), "sort").value_or("desc");
    Json list = ctx.sandbox.read([&](const State& s) {
        const auto issue_id = issue_or_404(s, project.id, iid)["id"];
        Json out = Json::array();
        for (const auto& [id, note] : s.notes) {
            if (note["noteable_type"] == "Issue" && note["noteable_id"] == issue_id) out.push_back(note);
        }
        if (sort == "desc") std::reverse(out.begin(), out.end());
        return out;
    });
    send_page(ctx.req, ctx.res, list);
}

}  // namespace

void register_issue_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects/:id/issues", create_issue);
    sb.route("GET", "/api/v4/projects/:id/issues", list_issues);
    sb.route("GET", "/api/v4/projects/:id/issues/:issue_iid", get_issue);
    sb.route("PUT", "/api/v4/projects/:id/issues/:issue_iid", update_issue);
    sb.route("POST", "/api/v4/projects/:id/issues/:issue_iid/notes", create_note);
    sb.route("GET", "/api/v4/projects/:id/issues/:issue_iid/notes", list_notes);
}

}  // namespace zorv_sandbox

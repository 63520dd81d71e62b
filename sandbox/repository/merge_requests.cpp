// Merge requests: create, list, show (which drives the mergeability check), update, merge, and
// the control route that holds a merge request in a given merge_status.
//
// The check runs as on GitLab, seen from outside: a new merge request is "unchecked"; a GET
// starts the check ("checking"); once the sandbox's merge_check_delay has passed, the next look
// finds "can_be_merged" or "cannot_be_merged", decided by `git merge-tree`. A new commit on
// either branch starts the check again.
#include "repository/commits.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace zorv_sandbox::repository {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUnchecked = "unchecked";
constexpr const char* kChecking = "checking";
constexpr const char* kCanMerge = "can_be_merged";
constexpr const char* kCannotMerge = "cannot_be_merged";

bool draft_title(const std::string& title);

std::string detailed_status(const Json& record, const std::string& merge_status) {
    if (str_field(record, "state") != "opened") return "not_open";
    if (draft_title(str_field(record, "title")) && merge_status != kUnchecked && merge_status != kChecking)
        return "draft_status";
    if (merge_status == kCanMerge) return "mergeable";
    if (merge_status == kCannotMerge) return "conflict";
    if (merge_status == kUnchecked) return "unchecked";
    return "checking";  // checking, cannot_be_merged_recheck
}

// The record as the caller sees it: a status held by the control route shows instead.
Json shown(const MergeRequestEntry& entry) {
    Json record = entry.record;
    if (const auto& held = entry.held_status) {
        record["merge_status"] = *held;
        record["detailed_merge_status"] = detailed_status(record, *held);
    }
    return record;
}

std::optional<MergeRequestEntry> find_entry(const Sandbox& sb, std::int64_t project_id, std::int64_t iid) {
    return sb.read([&](const State& s) -> std::optional<MergeRequestEntry> {
        for (const auto& [id, mr] : s.merge_requests)
            if (mr.record.at("project_id").get<std::int64_t>() == project_id &&
                mr.record.at("iid").get<std::int64_t>() == iid)
                return mr;
        return std::nullopt;
    });
}

// Stores the record; `forget_check` also drops its check, so that the next look starts one anew.
void store(Sandbox& sb, const Json& record, bool forget_check = false) {
    const auto id = record.at("id").get<std::int64_t>();
    sb.write([&](State& s) {
        auto& stored = s.merge_requests[id];
        stored.record = record;
        if (forget_check) stored.check.reset();
    });
}

std::int64_t iid_arg(const Context& ctx) {
    const std::string& text = ctx.arg("merge_request_iid");
    std::int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc{} || r.ptr != text.data() + text.size())
        throw ApiError::error(400, "merge_request_iid is invalid");
    return v;
}

MergeRequestEntry entry_or_404(const Sandbox& sb, const ProjectRef& project, std::int64_t iid) {
    auto entry = find_entry(sb, project.id, iid);
    if (!entry) throw ApiError::message(404, "404 Not found");
    return std::move(*entry);
}

// Fields that follow the branches: sha, diff_refs, changes_count.
void follow_branches(const repo::GitRepo& git, Json& record, const std::optional<std::string>& source,
                     const std::optional<std::string>& target) {
    if (source) record["sha"] = *source;
    if (source && target) {
        const auto base = git.merge_base(*target, *source);
        record["diff_refs"] = Json{{"base_sha", base ? Json(*base) : Json(nullptr)},
                                   {"head_sha", *source},
                                   {"start_sha", *target}};
        if (base) record["changes_count"] = std::to_string(git.changed_files(*base, *source));
    }
}

// Moves the check along: the record and the check change in `entry`.
void advance(const Sandbox& sb, const repo::GitRepo& git, MergeRequestEntry& entry) {
    Json& record = entry.record;
    if (str_field(record, "state") != "opened") return;
    const auto source = git.branch_head(str_field(record, "source_branch"));
    const auto target = git.branch_head(str_field(record, "target_branch"));
    follow_branches(git, record, source, target);

    const std::string status = str_field(record, "merge_status");
    const auto& check = entry.check;
    const auto now = Clock::now();
    const MergeCheck fresh{now, source.value_or(""), target.value_or("")};
    std::string next = status;
    if (status == kUnchecked) {
        next = kChecking;
        entry.check = fresh;
    } else if (status == kChecking || status == "cannot_be_merged_recheck") {
        if (!check) {
            entry.check = fresh;
        } else if (now - check->started >= sb.merge_check_delay()) {
            bool clean = false;
            if (source && target) clean = git.merge_trees(*target, *source).clean;
            next = clean ? kCanMerge : kCannotMerge;
            record["has_conflicts"] = !clean;
            entry.check = fresh;
        }
    } else if (check && (check->source_sha != fresh.source_sha || check->target_sha != fresh.target_sha)) {
        // A branch moved since the last check: check again.
        next = kChecking;
        entry.check = fresh;
    }
    record["merge_status"] = next;
    record["detailed_merge_status"] = detailed_status(record, next);
}

// Moves the check along unless a status is held, and stores what changed.
void advance_and_store(Sandbox& sb, const repo::GitRepo& git, MergeRequestEntry& entry) {
    if (entry.held_status) return;
    const MergeRequestEntry before = entry;
    advance(sb, git, entry);
    if (entry.record == before.record && entry.check == before.check) return;
    const auto id = entry.record.at("id").get<std::int64_t>();
    const bool record_changed = entry.record != before.record;
    sb.write([&](State& s) {
        const auto it = s.merge_requests.find(id);
        if (it == s.merge_requests.end() && !record_changed) return;  // gone meanwhile
        auto& stored = it == s.merge_requests.end() ? s.merge_requests[id] : it->second;
        if (record_changed) stored.record = entry.record;
        stored.check = entry.check;
    });
}

// The caller's user record (null for a caller without a user).
Json caller_record(const Context& ctx) {
    return ctx.sandbox.read(
        [&](const State& s) { return ctx.sandbox.user_record(s, ctx.caller ? ctx.caller->user_id : 0); });
}

// A single merge request's answer: the record as shown, with what the caller may do.
void send_for_caller(Context& ctx, const MergeRequestEntry& entry) {
    Json out = shown(entry);
    out["user"] = Json{{"can_merge", true}};
    send_json(ctx.res, 200, out);
}

Json labels_of(const Json& p) {
    Json labels = Json::array();
    const auto it = p.find("labels");
    if (it == p.end() || it->is_null()) return labels;
    auto add = [&](std::string_view s) {
        while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        if (!s.empty()) labels.push_back(std::string(s));
    };
    if (it->is_array()) {
        for (const auto& v : *it)
            if (v.is_string()) add(v.get<std::string>());
    } else if (it->is_string()) {
        const auto text = it->get<std::string>();
        std::size_t start = 0;
        while (start <= text.size()) {
            auto end = text.find(',', start);
            if (end == std::string::npos) end = text.size();
            add(std::string_view(text).substr(start, end - start));
            start = end + 1;
        }
    }
    return labels;
}

bool draft_title(const std::string& title) {
    const std::string t = lower_ascii(title.substr(0, 8));
    return t.starts_with("draft:") || t.starts_with("[draft]") || t.starts_with("(draft)");
}

// What a create request asks for.
struct NewRequest {
    std::string source, target, title, description;
    bool remove_source = false;
    bool squash = false;
    Json labels;
};

NewRequest read_new_request(const Json& p) {
    require_params(p, {"source_branch", "target_branch", "title"});
    NewRequest r;
    r.source = *param_string(p, "source_branch");
    r.target = *param_string(p, "target_branch");
    r.title = *param_string(p, "title");
    r.description = param_string(p, "description").value_or("");
    r.remove_source = param_bool(p, "remove_source_branch").value_or(false);
    r.squash = param_bool(p, "squash").value_or(false);
    r.labels = labels_of(p);
    return r;
}

struct BranchHeads {
    std::string source, target;
};

// The heads of two different branches that both exist; else GitLab's refusal.
BranchHeads branch_heads(const repo::GitRepo& git, const NewRequest& r) {
    if (r.source == r.target)
        throw ApiError::message(422, Json::array({"You can't use same project/branch for source and target"}));
    const auto source_sha = git.branch_head(r.source);
    const auto target_sha = git.branch_head(r.target);
    if (!source_sha || !target_sha) {
        Json errors = Json::object();
        if (!source_sha) errors["source_branch"] = Json::array({"does not exist"});
        if (!target_sha) errors["target_branch"] = Json::array({"does not exist"});
        throw ApiError::message(400, errors);
    }
    return {*source_sha, *target_sha};
}

void refuse_duplicate(const State& s, std::int64_t project_id, const NewRequest& r) {
    for (const auto& [id, entry] : s.merge_requests) {
        const Json& mr = entry.record;
        if (mr.at("project_id").get<std::int64_t>() == project_id && str_field(mr, "state") == "opened" &&
            str_field(mr, "source_branch") == r.source && str_field(mr, "target_branch") == r.target) {
            throw ApiError::message(409, Json::array({"Another open merge request already exists for this source "
                                                      "branch: !" + std::to_string(mr.at("iid").get<std::int64_t>())}));
        }
    }
}

// Every field of a new merge request in GitLab's order, with its starting value; null where
// new_record() puts the request's own value.
const Json& blank_record() {
    static const Json record = {
        {"id", nullptr}, {"iid", nullptr}, {"project_id", nullptr}, {"title", nullptr}, {"description", nullptr},
        {"state", "opened"}, {"created_at", nullptr}, {"updated_at", nullptr}, {"merged_by", nullptr},
        {"merge_user", nullptr}, {"merged_at", nullptr}, {"closed_by", nullptr}, {"closed_at", nullptr},
        {"target_branch", nullptr}, {"source_branch", nullptr}, {"user_notes_count", 0}, {"upvotes", 0},
        {"downvotes", 0}, {"author", nullptr}, {"assignees", Json::array()}, {"assignee", nullptr},
        {"reviewers", Json::array()}, {"source_project_id", nullptr}, {"target_project_id", nullptr},
        {"labels", nullptr}, {"draft", nullptr}, {"imported", false}, {"imported_from", "none"},
        {"work_in_progress", nullptr}, {"milestone", nullptr}, {"merge_when_pipeline_succeeds", false},
        {"merge_status", kUnchecked}, {"detailed_merge_status", "unchecked"}, {"merge_after", nullptr},
        {"sha", nullptr}, {"merge_commit_sha", nullptr}, {"squash_commit_sha", nullptr},
        {"discussion_locked", nullptr}, {"should_remove_source_branch", nullptr},
        {"force_remove_source_branch", nullptr}, {"prepared_at", nullptr}, {"reference", nullptr},
        {"references", nullptr}, {"web_url", nullptr},
        {"time_stats",
         {{"time_estimate", 0}, {"total_time_spent", 0}, {"human_time_estimate", nullptr},
          {"human_total_time_spent", nullptr}}},
        {"squash", nullptr}, {"squash_on_merge", nullptr},
        {"task_completion_status", {{"count", 0}, {"completed_count", 0}}}, {"has_conflicts", false},
        {"blocking_discussions_resolved", true}, {"subscribed", true}, {"changes_count", nullptr},
        {"latest_build_started_at", nullptr}, {"latest_build_finished_at", nullptr},
        {"first_deployed_to_production_at", nullptr}, {"pipeline", nullptr}, {"head_pipeline", nullptr},
        {"diff_refs", nullptr}, {"merge_error", nullptr}, {"first_contribution", false}};
    return record;
}

// The ids a new merge request takes.
struct NewIds {
    std::int64_t id = 0, iid = 0;
};

Json new_record(const NewRequest& r, const ProjectRef& project, NewIds ids, const Json& author,
                const std::string& sha, const std::string& now) {
    const std::string ref = "!" + std::to_string(ids.iid);
    Json j = blank_record();
    j["id"] = ids.id;
    j["iid"] = ids.iid;
    j["project_id"] = project.id;
    j["source_project_id"] = project.id;
    j["target_project_id"] = project.id;
    j["title"] = r.title;
    j["description"] = r.description;
    j["created_at"] = now;
    j["updated_at"] = now;
    j["prepared_at"] = now;
    j["target_branch"] = r.target;
    j["source_branch"] = r.source;
    j["author"] = author;
    j["labels"] = r.labels;
    j["draft"] = draft_title(r.title);
    j["work_in_progress"] = draft_title(r.title);
    j["sha"] = sha;
    j["force_remove_source_branch"] = r.remove_source;
    j["reference"] = ref;
    j["references"] = Json{{"short", ref}, {"relative", ref},
                           {"full", str_field(project.record, "path_with_namespace") + ref}};
    j["web_url"] = str_field(project.record, "web_url") + "/-/merge_requests/" + std::to_string(ids.iid);
    j["squash"] = r.squash;
    j["squash_on_merge"] = r.squash;
    return j;
}

// Records the merge request. The duplicate test and the creation happen under one lock, so two
// racing requests cannot both open the same merge request.
Json open_merge_request(Context& ctx, const ProjectRef& project, const NewRequest& r, const std::string& sha) {
    Sandbox& sb = ctx.sandbox;
    const auto user_id = ctx.caller ? ctx.caller->user_id : 0;
    const std::string now = now_iso();
    return sb.write([&](State& s) -> Json {
        refuse_duplicate(s, project.id, r);
        auto entry = s.projects.find(project.id);
        if (entry == s.projects.end()) throw ApiError::message(404, "404 Project Not Found");
        const NewIds ids{s.next_merge_request_id++, entry->second.next_merge_request_iid++};
        Json record = new_record(r, project, ids, sb.user_record(s, user_id), sha, now);
        s.merge_requests[ids.id].record = record;
        return record;
    });
}

void create_merge_request(Context& ctx) {
    const NewRequest request = read_new_request(ctx.params());
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const BranchHeads heads = branch_heads(git, request);
    Json record = open_merge_request(ctx, project, request, heads.source);
    follow_branches(git, record, heads.source, heads.target);
    store(ctx.sandbox, record);
    send_json(ctx.res, 201, record);
}

void get_merge_request(Context& ctx) {
    const auto project = ctx.project();
    MergeRequestEntry entry = entry_or_404(ctx.sandbox, project, iid_arg(ctx));
    const repo::GitRepo git(project.repository);
    advance_and_store(ctx.sandbox, git, entry);
    send_for_caller(ctx, entry);
}

void list_merge_requests(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    const std::string state = param_string(p, "state").value_or("all");
    if (state != "all" && state != "opened" && state != "closed" && state != "merged" && state != "locked")
        throw ApiError::error(400, "state does not have a valid value");
    const auto source = param_string(p, "source_branch");
    const auto target = param_string(p, "target_branch");
    const bool ascending = param_string(p, "sort").value_or("desc") == "asc";
    Json items = ctx.sandbox.read([&](const State& s) {
        Json out = Json::array();
        for (const auto& [id, entry] : s.merge_requests) {
            const Json& mr = entry.record;
            if (mr.at("project_id").get<std::int64_t>() != project.id) continue;
            if (state != "all" && str_field(mr, "state") != state) continue;
            if (source && str_field(mr, "source_branch") != *source) continue;
            if (target && str_field(mr, "target_branch") != *target) continue;
            out.push_back(shown(entry));
        }
        return out;
    });
    if (!ascending) std::reverse(items.begin(), items.end());  // newest first
    send_page(ctx.req, ctx.res, items);
}

void update_merge_request(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    MergeRequestEntry entry = entry_or_404(ctx.sandbox, project, iid_arg(ctx));
    Json& record = entry.record;
    bool reopened = false;
    if (const auto title = param_string(p, "title")) record["title"] = *title;
    if (const auto description = param_string(p, "description")) record["description"] = *description;
    if (const auto remove = param_bool(p, "remove_source_branch")) record["force_remove_source_branch"] = *remove;
    if (const auto event = param_string(p, "state_event")) {
        const std::string state = str_field(record, "state");
        if (*event == "close" && state == "opened") {
            record["state"] = "closed";
            record["closed_at"] = now_iso();
            record["closed_by"] = caller_record(ctx);
        } else if (*event == "reopen" && state == "closed") {
            record["state"] = "opened";
            record["closed_at"] = nullptr;
            record["closed_by"] = nullptr;
            record["merge_status"] = kUnchecked;
            reopened = true;
        } else if (*event != "close" && *event != "reopen") {
            throw ApiError::error(400, "state_event does not have a valid value");
        }
    }
    record["detailed_merge_status"] = detailed_status(record, str_field(record, "merge_status"));
    record["updated_at"] = now_iso();
    store(ctx.sandbox, record, reopened);
    send_json(ctx.res, 200, shown(entry));
}

// A merge request that may be merged now: open, checked mergeable and no draft.
MergeRequestEntry mergeable_entry(Context& ctx, const ProjectRef& project, const repo::GitRepo& git,
                                  std::int64_t iid) {
    MergeRequestEntry entry = entry_or_404(ctx.sandbox, project, iid);
    advance_and_store(ctx.sandbox, git, entry);
    const Json& record = entry.record;
    const std::string status = entry.held_status.value_or(str_field(record, "merge_status"));
    // lib/api/merge_requests.rb: `not_allowed! if !immediately_mergeable && !automatically_mergeable`;
    // MergeRequest#mergeable_state? is false for a draft (title "Draft:", "[Draft]", "(Draft)").
    if (str_field(record, "state") != "opened" || status != kCanMerge || draft_title(str_field(record, "title")))
        throw ApiError::message(405, "405 Method Not Allowed");
    return entry;
}

// The source branch's head, which the caller's `sha` must name when given.
std::string source_head(const repo::GitRepo& git, const std::string& source, const Json& p) {
    const auto source_sha = git.branch_head(source);
    if (!source_sha) throw ApiError::message(422, "Branch cannot be merged");
    if (const auto sha = param_string(p, "sha"); sha && !sha->empty() && *sha != *source_sha)
        throw ApiError::message(409, "SHA does not match HEAD of source branch: " + *source_sha);
    return *source_sha;
}

// The caller's merge commit message, else GitLab's.
std::string merge_message(const Json& p, const Json& record) {
    std::string message = param_string(p, "merge_commit_message").value_or("");
    if (message.empty()) {
        message = "Merge branch '" + str_field(record, "source_branch") + "' into '" +
                  str_field(record, "target_branch") + "'\n\n" + str_field(record, "title") +
                  "\n\nSee merge request " + str_field(record.at("references"), "full");
    }
    return message;
}

[[noreturn]] void refuse_conflict(Sandbox& sb, Json& record) {
    record["merge_status"] = kCannotMerge;
    record["detailed_merge_status"] = "conflict";
    record["has_conflicts"] = true;
    store(sb, record);
    throw ApiError::message(422, "Branch cannot be merged");
}

// Writes the merge commit on the target's head and moves the target to it; returns its id. The
// target may move under us (a push through git): merge again onto its new head.
std::string merge_onto_target(Context& ctx, const repo::GitRepo& git, Json& record, const std::string& source_sha,
                              const std::string& message) {
    const std::string target = str_field(record, "target_branch");
    const repo::Identity who = caller_identity(ctx);
    std::string merge_sha;
    for (int attempt = 0; merge_sha.empty(); ++attempt) {
        const auto target_sha = git.branch_head(target);
        const auto merged = target_sha ? git.merge_trees(*target_sha, source_sha) : repo::MergeResult{};
        if (!merged.clean) refuse_conflict(ctx.sandbox, record);
        const auto commit = git.commit_tree(merged.tree, {*target_sha, source_sha}, message, who, who);
        if (git.update_ref("refs/heads/" + target, commit, *target_sha)) merge_sha = commit;
        if (merge_sha.empty() && attempt >= 5) throw ApiError::message(422, "Branch cannot be merged");
    }
    return merge_sha;
}

// Whether the source branch goes with the merge: the caller's word, else the record's.
bool removes_source(const Json& p, const Json& record) {
    const auto forced = record.find("force_remove_source_branch");
    return param_bool(p, "should_remove_source_branch")
        .value_or(forced != record.end() && forced->is_boolean() && forced->get<bool>());
}

void mark_merged(Context& ctx, Json& record, const std::string& merge_sha, bool remove_source, const Json& pipeline) {
    const std::string now = now_iso();
    const Json user = caller_record(ctx);
    record["state"] = "merged";
    record["merged_by"] = user;
    record["merge_user"] = user;
    record["merged_at"] = now;
    record["updated_at"] = now;
    record["merge_commit_sha"] = merge_sha;
    record["should_remove_source_branch"] = remove_source;
    record["detailed_merge_status"] = "not_open";
    record["pipeline"] = pipeline;
}

void merge(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    const auto iid = iid_arg(ctx);
    const repo::GitRepo git(project.repository);
    const auto lock = ctx.sandbox.repository_lock(project.repository);
    std::lock_guard guard(*lock);

    MergeRequestEntry entry = mergeable_entry(ctx, project, git, iid);
    Json& record = entry.record;
    const std::string source = str_field(record, "source_branch");
    const std::string source_sha = source_head(git, source, p);
    const std::string merge_sha = merge_onto_target(ctx, git, record, source_sha, merge_message(p, record));
    const bool remove_source = removes_source(p, record);
    if (remove_source && source != default_branch(project)) git.delete_ref("refs/heads/" + source, source_sha);
    const Json pipeline = pipeline_for(ctx.sandbox, project, git, str_field(record, "target_branch"), merge_sha);
    mark_merged(ctx, record, merge_sha, remove_source, pipeline);
    store(ctx.sandbox, record, true);
    send_for_caller(ctx, entry);
}

// POST /-/sandbox/projects/:id/merge_requests/:merge_request_iid {"merge_status": "checking"}
// holds that status until it is posted again with null.
void hold(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    MergeRequestEntry entry = entry_or_404(ctx.sandbox, project, iid_arg(ctx));
    const auto it = p.find("merge_status");
    if (it == p.end()) throw ApiError::error(400, "merge_status is missing");
    std::optional<std::string> status;
    if (!it->is_null()) {
        if (!it->is_string()) throw ApiError::error(400, "merge_status is invalid");
        status = it->get<std::string>();
        static constexpr std::array<std::string_view, 5> known{kUnchecked, kChecking, kCanMerge, kCannotMerge,
                                                               "cannot_be_merged_recheck"};
        if (std::find(known.begin(), known.end(), *status) == known.end())
            throw ApiError::error(400, "merge_status does not have a valid value");
    }
    const auto id = entry.record.at("id").get<std::int64_t>();
    ctx.sandbox.write([&](State& s) {
        if (const auto it = s.merge_requests.find(id); it != s.merge_requests.end()) it->second.held_status = status;
    });
    entry.held_status = status;
    send_json(ctx.res, 200, shown(entry));
}

}  // namespace

void register_merge_request_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects/:id/merge_requests", create_merge_request);
    sb.route("GET", "/api/v4/projects/:id/merge_requests", list_merge_requests);
    sb.route("GET", "/api/v4/projects/:id/merge_requests/:merge_request_iid", get_merge_request);
    sb.route("PUT", "/api/v4/projects/:id/merge_requests/:merge_request_iid", update_merge_request);
    sb.route("PUT", "/api/v4/projects/:id/merge_requests/:merge_request_iid/merge", merge);
    sb.route("POST", "/-/sandbox/projects/:id/merge_requests/:merge_request_iid", hold, Auth::none);
}

}  // namespace zorv_sandbox::repository

// Projects: create (with an empty bare repository), list and search, read, delete.
#include "routes.hpp"

#include <zorv_git/process.hpp>

#include <algorithm>

namespace zorv_sandbox {

namespace {

namespace fs = std::filesystem;

bool valid_project_path(const std::string& path) {
    if (path.empty() || path.front() == '-' || path.front() == '.' || path.back() == '.') return false;
    if (path.ends_with(".git") || path.ends_with(".atom")) return false;
    return std::all_of(path.begin(), path.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '_' || c == '-' || c == '.';
    });
}

// GitLab derives a missing path from the name: lower case, other characters as dashes.
std::string path_from_name(const std::string& name) {
    std::string out;
    for (const unsigned char c : name) {
        if (std::isalnum(c) != 0 || c == '_' || c == '.') out.push_back(static_cast<char>(std::tolower(c)));
        else if (!out.empty() && out.back() != '-') out.push_back('-');
    }
    while (!out.empty() && (out.back() == '-' || out.back() == '.')) out.pop_back();
    while (!out.empty() && (out.front() == '-' || out.front() == '.')) out.erase(out.begin());
    return out;
}

// A project is searched by its name, path and description (Project.search); a text shorter than
// three characters must match one of them whole.
bool found_by(const Json& r, const std::string& search) {
    return matches_search(search, {str_field(r, "name"), str_field(r, "path"), str_field(r, "description")},
                          {.min_partial = 3});
}

// The parameters of POST /projects, read and checked before the state is touched. A missing path
// follows from the name, a missing name is the path.
struct NewProject {
    std::string name;
    std::string path;
    std::optional<std::int64_t> namespace_id;  // absent: the caller's personal namespace
    std::string description;
    std::string visibility;
    std::string default_branch;
};

NewProject new_project_params(const Json& p) {
    NewProject n;
    n.name = param_string(p, "name").value_or("");
    n.path = param_string(p, "path").value_or("");
    if (n.name.empty() && n.path.empty()) {
        throw ApiError::error(400, "name, path are missing, at least one parameter must be provided");
    }
    if (n.path.empty()) n.path = path_from_name(n.name);
    if (n.name.empty()) n.name = n.path;
    n.namespace_id = param_int(p, "namespace_id");
    n.description = param_string(p, "description").value_or("");
    n.visibility = param_string(p, "visibility").value_or("private");
    if (visibility_level(n.visibility) < 0) throw ApiError::error(400, "visibility does not have a valid value");
    n.default_branch = param_string(p, "default_branch").value_or(kDefaultBranch);
    return n;
}

// The fields of a new project record, in GitLab's order, in four parts: identity and addresses,
// state and features, where it came from, and its CI and merge settings.
Json project_identity(const Sandbox& sb, const State& s, std::int64_t id, const NewProject& n, const Json& ns,
                      const std::string& now) {
    const auto full_path = ns["full_path"].get<std::string>() + "/" + n.path;
    std::string ns_full_name = ns["name"].get<std::string>();
    if (ns["kind"] == "group") ns_full_name = s.groups.at(ns["id"].get<std::int64_t>())["full_name"].get<std::string>();
    const auto web_url = sb.base_url() + "/" + full_path;
    const auto api = sb.base_url() + "/api/v4/projects/" + std::to_string(id);
    return Json{{"id", id},
                {"description", n.description.empty() ? Json(nullptr) : Json(n.description)},
                {"name", n.name},
                {"name_with_namespace", ns_full_name + " / " + n.name},
                {"path", n.path},
                {"path_with_namespace", full_path},
                {"created_at", now},
                {"default_branch", n.default_branch},
                {"tag_list", Json::array()},
                {"topics", Json::array()},
                {"ssh_url_to_repo", "git@127.0.0.1:" + full_path + ".git"},
                {"http_url_to_repo", web_url + ".git"},
                {"web_url", web_url},
                {"readme_url", nullptr},
                {"forks_count", 0},
                {"avatar_url", nullptr},
                {"star_count", 0},
                {"last_activity_at", now},
                {"namespace", ns},
                {"container_registry_image_prefix", "127.0.0.1:5050/" + full_path},
                {"_links",
                 Json{{"self", api},
                      {"issues", api + "/issues"},
                      {"merge_requests", api + "/merge_requests"},
                      {"repo_branches", api + "/repository/branches"},
                      {"labels", api + "/labels"},
                      {"events", api + "/events"},
                      {"members", api + "/members"},
                      {"cluster_agents", api + "/cluster_agents"}}}};
}

Json project_features(const std::string& visibility, const Json& owner) {
    return Json{{"packages_enabled", true},
                {"empty_repo", true},
                {"archived", false},
                {"marked_for_deletion_at", nullptr},
                {"marked_for_deletion_on", nullptr},
                {"visibility", visibility},
                {"owner", owner},
                {"resolve_outdated_diff_discussions", false},
                {"repository_object_format", "sha1"},
                {"issues_enabled", true},
                {"merge_requests_enabled", true},
                {"wiki_enabled", true},
                {"jobs_enabled", true},
                {"snippets_enabled", true},
                {"container_registry_enabled", true},
                {"service_desk_enabled", false},
                {"can_create_merge_request_in", true},
                {"issues_access_level", "enabled"},
                {"repository_access_level", "enabled"},
                {"merge_requests_access_level", "enabled"},
                {"forking_access_level", "enabled"},
                {"wiki_access_level", "enabled"},
                {"builds_access_level", "enabled"},
                {"snippets_access_level", "enabled"},
                {"pages_access_level", visibility == "public" ? "enabled" : "private"},
                {"analytics_access_level", "enabled"},
                {"container_registry_access_level", "enabled"},
                {"security_and_compliance_access_level", "private"},
                {"releases_access_level", "enabled"},
                {"environments_access_level", "enabled"},
                {"feature_flags_access_level", "enabled"},
                {"infrastructure_access_level", "enabled"},
                {"monitor_access_level", "enabled"}};
}

Json project_origin(std::int64_t creator_id, const std::string& description, const std::string& now) {
    return Json{{"emails_disabled", false},
                {"emails_enabled", true},
                {"shared_runners_enabled", true},
                {"lfs_enabled", true},
                {"creator_id", creator_id},
                {"import_url", nullptr},
                {"import_type", nullptr},
                {"import_status", "none"},
                {"import_error", nullptr},
                {"open_issues_count", 0},
                {"description_html", description.empty() ? "" : "<p dir=\"auto\">" + description + "</p>"},
                {"updated_at", now}};
}

Json project_ci_and_merge_settings() {
    return Json{{"ci_default_git_depth", 20},
                {"ci_forward_deployment_enabled", true},
                {"ci_job_token_scope_enabled", false},
                {"ci_separated_caches", true},
                {"ci_allow_fork_pipelines_to_run_in_parent_project", true},
                {"build_git_strategy", "fetch"},
                {"keep_latest_artifact", true},
                {"restrict_user_defined_variables", false},
                {"runners_token", nullptr},
                {"runner_token_expiration_interval", nullptr},
                {"group_runners_enabled", true},
                {"auto_cancel_pending_pipelines", "enabled"},
                {"build_timeout", 3600},
                {"auto_devops_enabled", false},
                {"auto_devops_deploy_strategy", "continuous"},
                {"ci_config_path", nullptr},
                {"public_jobs", true},
                {"shared_with_groups", Json::array()},
                {"only_allow_merge_if_pipeline_succeeds", false},
                {"allow_merge_on_skipped_pipeline", nullptr},
                {"request_access_enabled", true},
                {"only_allow_merge_if_all_discussions_are_resolved", false},
                {"remove_source_branch_after_merge", true},
                {"printing_merge_request_link_enabled", true},
                {"merge_method", "merge"},
                {"squash_option", "default_off"},
                {"enforce_auth_checks_on_uploads", true},
                {"suggestion_commit_message", nullptr},
                {"merge_commit_template", nullptr},
                {"squash_commit_template", nullptr},
                {"issue_branch_template", nullptr},
                {"warn_about_potentially_unwanted_characters", true},
                {"autoclose_referenced_issues", true}};
}

Json project_record(const Sandbox& sb, const State& s, std::int64_t id, const NewProject& n, const Json& ns,
                    std::int64_t creator_id) {
    const auto now = now_iso();
    const Json owner = ns["kind"] == "user" ? sb.user_record(s, creator_id) : Json(nullptr);
    Json record = project_identity(sb, s, id, n, ns, now);
    record.update(project_features(n.visibility, owner));
    record.update(project_origin(creator_id, n.description, now));
    record.update(project_ci_and_merge_settings());
    return record;
}

Json sorted_projects(std::vector<Json> v, const Json& p) {
    const auto order_by = param_string(p, "order_by").value_or("created_at");
    const auto sort = param_string(p, "sort").value_or("desc");
    static const std::vector<std::string> keys{"id", "name", "path", "created_at", "updated_at", "last_activity_at"};
    if (std::find(keys.begin(), keys.end(), order_by) == keys.end()) {
        throw ApiError::error(400, "order_by does not have a valid value");
    }
    if (sort != "asc" && sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
    // Timestamps have millisecond resolution; ties fall back to the id, which follows creation.
    std::stable_sort(v.begin(), v.end(), [&](const Json& a, const Json& b) {
        const bool same = a[order_by] == b[order_by];
        if (same) {
            return sort == "asc" ? a["id"].get<std::int64_t>() < b["id"].get<std::int64_t>()
                                 : a["id"].get<std::int64_t>() > b["id"].get<std::int64_t>();
        }
        return sort == "asc" ? a[order_by] < b[order_by] : b[order_by] < a[order_by];
    });
    return Json(v);
}

// GitLab 18 deletes projects later (Projects::MarkForDeletionService,
// app/services/projects/mark_for_deletion_service.rb): the project is archived and renamed
// "<name>-deletion_scheduled-<id>" (path likewise), and stays until the retention period ends; a
// second DELETE is refused with 400 (ee/lib/ee/api/projects.rb#delete_project).
void mark_project_for_deletion(Context& ctx) {
    const auto project = ctx.project();
    const auto moved = ctx.sandbox.write([&](State& s) {
        auto& r = s.projects.at(project.id).record;
        if (r.contains("marked_for_deletion_on") && !r["marked_for_deletion_on"].is_null()) {
            throw ApiError::message(400, "Project has been already marked for deletion");
        }
        const auto from = ctx.sandbox.repository_path(r);
        relocate_project(ctx.sandbox, s, r, deletion_scheduled(r["name"].get<std::string>(), project.id),
                         deletion_scheduled(r["path"].get<std::string>(), project.id));
        r["archived"] = true;
        r["marked_for_deletion_at"] = r["marked_for_deletion_on"] = now_iso().substr(0, 10);
        return std::pair{from, ctx.sandbox.repository_path(r)};
    });
    std::error_code ec;
    fs::rename(moved.first, moved.second, ec);
    send_message(ctx.res, 202, "202 Accepted");
}

// Project#valid? as GitLab reports it: 400 {"message": {field: [messages]}}, name before path.
void check_new_project(const State& s, const NewProject& n, std::int64_t ns_id, const Json& ns) {
    Json errors = Json::object();
    for (const auto& [id, other] : s.projects) {
        if (other.record["namespace"]["id"] != ns_id) continue;
        if (other.record["name"] == n.name) errors["name"] = Json::array({"has already been taken"});
        if (lower_ascii(other.record["path"].get<std::string>()) == lower_ascii(n.path)) {
            errors["path"] = Json::array({"has already been taken"});
        }
    }
    if (!valid_project_path(n.path)) {
        errors["path"] = Json::array({"can contain only letters, digits, '_', '-' and '.'. Cannot start with "
                                      "'-', end in '.git' or end in '.atom'"});
    }
    if (ns["kind"] == "group") {
        const auto& group_visibility = s.groups.at(ns_id)["visibility"].get<std::string>();
        if (visibility_level(n.visibility) > visibility_level(group_visibility)) {
            errors["visibility_level"] =
                Json::array({n.visibility + " is not allowed in a " + group_visibility + " group."});
        }
    }
    if (errors.empty()) return;
    Json ordered = Json::object();
    for (const char* key : {"name", "path", "visibility_level"}) {
        if (errors.contains(key)) ordered[key] = errors[key];
    }
    throw ApiError::message(400, ordered);
}

// Adds the project's record in its namespace (404 when there is none).
ProjectRef add_project(Context& ctx, const NewProject& n) {
    const auto creator_id = ctx.caller->user_id;
    return ctx.sandbox.write([&](State& s) {
        const auto ns_id = n.namespace_id ? *n.namespace_id : s.users.at(creator_id).namespace_id;
        const Json ns = namespace_object(s, ns_id, ctx.sandbox.base_url());
        if (ns.is_null()) throw ApiError::message(404, "404 Namespace Not Found");
        check_new_project(s, n, ns_id, ns);
        const auto id = s.next_project_id++;
        const Json record = project_record(ctx.sandbox, s, id, n, ns, creator_id);
        s.projects[id].record = record;
        return ProjectRef{id, record, ctx.sandbox.repository_path(record)};
    });
}

// An empty bare repository on the default branch, open to pushes over HTTPS. When git fails the
// project is taken out again.
void init_repository(Sandbox& sb, const ProjectRef& project, const std::string& default_branch) {
    std::error_code ec;
    fs::remove_all(project.repository, ec);  // a leftover of a project deleted while the sandbox was down
    fs::create_directories(project.repository.parent_path());
    const auto git = zorv_git::process::run(
        {"git", "init", "--quiet", "--bare", "--initial-branch=" + default_branch, project.repository.string()});
    if (!git.ok()) {
        sb.write([&](State& s) { erase_project(sb, s, project.id); });
        throw std::runtime_error("git init failed: " + git.err);
    }
    // Pushes over HTTPS are accepted by git http-backend only when enabled.
    zorv_git::process::run({"git", "-C", project.repository.string(), "config", "http.receivepack", "true"});
}

// The project as GET /projects/:id shows it.
Json project_answer(Context& ctx, std::int64_t project_id) {
    return ctx.sandbox.read([&](const State& s) {
        const auto it = s.projects.find(project_id);
        if (it == s.projects.end()) throw ApiError::message(404, "404 Project Not Found");
        return present_project(ctx.sandbox, s, it->second, false);
    });
}

void create_project(Context& ctx) {
    const NewProject wanted = new_project_params(ctx.params());
    const ProjectRef project = add_project(ctx, wanted);
    init_repository(ctx.sandbox, project, wanted.default_branch);
    send_json(ctx.res, 201, project_answer(ctx, project.id));
}

void list_projects(Context& ctx) {
    const Json& p = ctx.params();
    const auto search = param_string(p, "search");
    const bool simple = param_bool(p, "simple").value_or(false);
    const auto visibility = param_string(p, "visibility");
    const auto list = ctx.sandbox.read([&](const State& s) {
        std::vector<Json> out;
        for (const auto& [id, entry] : s.projects) {
            if (search && !found_by(entry.record, *search)) continue;
            if (visibility && entry.record["visibility"] != *visibility) continue;
            out.push_back(present_project(ctx.sandbox, s, entry, simple));
        }
        return out;
    });
    send_page(ctx.req, ctx.res, sorted_projects(list, p));
}

void get_project(Context& ctx) { send_json(ctx.res, 200, project_answer(ctx, ctx.project().id)); }

}  // namespace

void register_project_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects", create_project);
    sb.route("GET", "/api/v4/projects", list_projects);
    sb.route("GET", "/api/v4/projects/:id", get_project);
    sb.route("DELETE", "/api/v4/projects/:id", mark_project_for_deletion);
}

}  // namespace zorv_sandbox

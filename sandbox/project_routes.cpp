// Projects: create (with an empty bare repository), list and search (also a group's), read, share,
// delete; and seeding many at once (a control route).
#include "routes.hpp"

#include <algorithm>
#include <set>

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

// The projects a list shows (ProjectsFinder's filters, app/finders/projects_finder.rb, as the API
// passes them: lib/api/helpers.rb#project_finder_params_ce): `search`, `archived` (absent: archived
// projects too; true: only them; false: none), `visibility`, `id_after`, `id_before`.
struct ProjectFilter {
    std::optional<std::string> search;
    std::optional<bool> archived;
    std::optional<std::string> visibility;
    std::optional<std::int64_t> id_after;
    std::optional<std::int64_t> id_before;

    explicit ProjectFilter(const Json& p)
        : search(param_string(p, "search")),
          archived(param_bool(p, "archived")),
          visibility(param_string(p, "visibility")),
          id_after(param_int(p, "id_after")),
          id_before(param_int(p, "id_before")) {
        if (visibility && visibility_level(*visibility) < 0) {
            throw ApiError::error(400, "visibility does not have a valid value");
        }
    }

    [[nodiscard]] bool admits(const ProjectEntry& entry) const {
        const Json& r = entry.record;
        const auto id = r["id"].get<std::int64_t>();
        if ((id_after && id <= *id_after) || (id_before && id >= *id_before)) return false;
        if (archived && r.value("archived", false) != *archived) return false;
        if (visibility && r["visibility"] != *visibility) return false;
        return !search || found_by(r, *search);
    }
};

// The order of a list: `order_by` among the route's keys (default created_at), `sort` (default desc);
// ties follow the id in the same direction (timestamps have millisecond resolution, ids follow
// creation). Each key is read out of its record once.
struct ProjectOrder {
    std::string key;
    bool ascending = false;

    ProjectOrder(const Json& p, std::initializer_list<std::string_view> keys)
        : key(param_string(p, "order_by").value_or("created_at")) {
        const auto sort = param_string(p, "sort").value_or("desc");
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            throw ApiError::error(400, "order_by does not have a valid value");
        }
        if (sort != "asc" && sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
        ascending = sort == "asc";
        // Without trigram ranking, similarity orders as GitLab does when nothing is searched: by name.
        if (key == "similarity") {
            key = "name";
            ascending = true;
        }
    }

    void sort(std::vector<const ProjectEntry*>& entries) const {
        struct Keyed {
            const Json* key;
            std::int64_t id;
            const ProjectEntry* entry;
        };
        static const Json missing;
        std::vector<Keyed> keyed;
        keyed.reserve(entries.size());
        for (const auto* e : entries) {
            const auto it = e->record.find(key);
            keyed.push_back({it == e->record.end() ? &missing : &*it, e->record["id"].get<std::int64_t>(), e});
        }
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
            if (*a.key == *b.key) return ascending ? a.id < b.id : a.id > b.id;
            return ascending ? *a.key < *b.key : *b.key < *a.key;
        });
        for (std::size_t i = 0; i < keyed.size(); ++i) entries[i] = keyed[i].entry;
    }
};

// Answers a list of projects in its order, with offset paging; only the page's records are made.
void send_projects(Context& ctx, const State& s, const std::vector<const ProjectEntry*>& entries) {
    const bool simple = param_bool(ctx.params(), "simple").value_or(false);
    send_page(ctx.req, ctx.res, entries.size(),
              [&](std::size_t i) { return present_project(ctx.sandbox, s, *entries[i], simple); });
}

// Keyset paging (Gitlab::Pagination::Keyset, lib/gitlab/pagination/keyset.rb: projects ordered by id
// only; Keyset::Pager reads one record more than the page): the first `per_page` projects, and when
// more follow, Link rel="next" with id_after (ascending) or id_before (descending) of the last one.
void send_keyset_projects(Context& ctx, const State& s, const std::vector<const ProjectEntry*>& entries,
                          const ProjectOrder& order) {
    if (order.key != "id") {
        throw ApiError::error(405, "Keyset pagination is not yet available for this type of request");
    }
    const bool simple = param_bool(ctx.params(), "simple").value_or(false);
    const auto per_page = static_cast<std::size_t>(page_of(ctx.params()).per_page);
    Json page = Json::array();
    for (std::size_t i = 0; i < entries.size() && i < per_page; ++i) {
        page.push_back(present_project(ctx.sandbox, s, *entries[i], simple));
    }
    if (entries.size() > per_page) {
        const auto last = std::to_string(entries[per_page - 1]->record["id"].get<std::int64_t>());
        const auto next = order.ascending ? query_href(ctx.req, {{"id_after", last}}, {"id_before"})
                                          : query_href(ctx.req, {{"id_before", last}}, {"id_after"});
        ctx.res.set_header("Link", "<" + next + ">; rel=\"next\"");
    }
    send_json(ctx.res, 200, page);
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

// The names and paths (in lower case) already taken in one namespace.
struct TakenNames {
    std::set<std::string> names;
    std::set<std::string> paths;

    TakenNames(const State& s, std::int64_t ns_id) {
        for (const auto id : projects_in(s, ns_id)) {
            const Json& r = s.projects.at(id).record;
            names.insert(r["name"].get<std::string>());
            paths.insert(lower_ascii(r["path"].get<std::string>()));
        }
    }
    void take(const NewProject& n) {
        names.insert(n.name);
        paths.insert(lower_ascii(n.path));
    }
};

// Project#valid? as GitLab reports it: 400 {"message": {field: [messages]}}, name before path.
void check_new_project(const State& s, const NewProject& n, std::int64_t ns_id, const Json& ns,
                       const TakenNames& taken) {
    Json errors = Json::object();
    if (taken.names.contains(n.name)) errors["name"] = Json::array({"has already been taken"});
    if (taken.paths.contains(lower_ascii(n.path))) errors["path"] = Json::array({"has already been taken"});
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

// The namespace a new project goes to, with its "namespace" object; 404 when there is none.
std::pair<std::int64_t, Json> new_project_namespace(const Sandbox& sb, const State& s, const NewProject& n,
                                                    std::int64_t creator_id) {
    const auto ns_id = n.namespace_id ? *n.namespace_id : s.users.at(creator_id).namespace_id;
    Json ns = namespace_object(s, ns_id, sb.base_url());
    if (ns.is_null()) throw ApiError::message(404, "404 Namespace Not Found");
    return {ns_id, std::move(ns)};
}

// Adds the project's record in its namespace (404 when there is none).
ProjectRef add_project(Context& ctx, const NewProject& n) {
    const auto creator_id = ctx.caller->user_id;
    return ctx.sandbox.write([&](State& s) {
        const auto [ns_id, ns] = new_project_namespace(ctx.sandbox, s, n, creator_id);
        check_new_project(s, n, ns_id, ns, TakenNames(s, ns_id));
        const auto id = s.next_project_id++;
        const Json& record = add_project_entry(s, project_record(ctx.sandbox, s, id, n, ns, creator_id)).record;
        return ProjectRef{id, record, ctx.sandbox.repository_path(record)};
    });
}

// The new project's bare repository; when git fails the project is taken out again.
void init_repository(Sandbox& sb, const ProjectRef& project, const std::string& default_branch) {
    try {
        make_bare_repository(project.repository, default_branch);
    } catch (const std::runtime_error&) {
        sb.write([&](State& s) { erase_project(sb, s, project.id); });
        throw;
    }
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

// GET /projects: every project (all are visible to every user here), filtered and ordered. Offset
// paging past the instance's offset_pagination_limit is refused; keyset paging is offered instead.
void list_projects(Context& ctx) {
    const Json& p = ctx.params();
    const ProjectFilter filter(p);
    const ProjectOrder order(p, {"id", "name", "path", "created_at", "updated_at", "last_activity_at"});
    const bool keyset = param_string(p, "pagination") == "keyset";
    if (!keyset) check_offset_limit(ctx, "Project");
    ctx.sandbox.read([&](const State& s) {
        std::vector<const ProjectEntry*> entries;
        for (const auto& [id, entry] : s.projects) {
            if (filter.admits(entry)) entries.push_back(&entry);
        }
        order.sort(entries);
        if (keyset) send_keyset_projects(ctx, s, entries, order);
        else send_projects(ctx, s, entries);
    });
}

// GET /groups/:id/projects (lib/api/groups.rb, GroupProjectsFinder): the projects of the group's
// namespace, with those of its subgroups when include_subgroups is true, and those shared with it
// (POST /projects/:id/share) unless with_shared is false; the same filters and records as
// GET /projects (simple: BasicProjectDetails). 404 for an unknown group; offset paging is never refused.
void list_group_projects(Context& ctx) {
    const Json& p = ctx.params();
    const ProjectFilter filter(p);
    const ProjectOrder order(p, {"id", "name", "path", "created_at", "updated_at", "last_activity_at", "similarity",
                                 "star_count"});
    const bool with_shared = param_bool(p, "with_shared").value_or(true);
    const bool include_subgroups = param_bool(p, "include_subgroups").value_or(false);
    ctx.sandbox.read([&](const State& s) {
        const Json* group = find_group(s, ctx.arg("id"));
        if (group == nullptr) throw ApiError::message(404, "404 Group Not Found");
        const auto gid = (*group)["id"].get<std::int64_t>();
        std::set<std::int64_t> ids;
        for (const auto ns : include_subgroups ? group_subtree(s, gid) : std::vector<std::int64_t>{gid}) {
            const auto& in = projects_in(s, ns);
            ids.insert(in.begin(), in.end());
        }
        if (with_shared) {
            for (const auto& [link_id, link] : s.project_group_links) {
                if (link["group_id"] == gid) ids.insert(link["project_id"].get<std::int64_t>());
            }
        }
        std::vector<const ProjectEntry*> entries;
        for (const auto id : ids) {
            const ProjectEntry& entry = s.projects.at(id);
            if (filter.admits(entry)) entries.push_back(&entry);
        }
        order.sort(entries);
        send_projects(ctx, s, entries);
    });
}

void get_project(Context& ctx) { send_json(ctx.res, 200, project_answer(ctx, ctx.project().id)); }

// POST /projects/:id/archive and /unarchive (lib/api/projects.rb): 201 with the project.
void set_archived(Context& ctx, bool archived) {
    const auto project = ctx.project();
    ctx.sandbox.write([&](State& s) {
        Json& r = s.projects.at(project.id).record;
        r["archived"] = archived;
        r["updated_at"] = now_iso();
    });
    send_json(ctx.res, 201, project_answer(ctx, project.id));
}

// Gitlab::Access.values: the roles a project may be shared with (Owner is not among them).
bool share_level(std::int64_t level) { return level == 10 || level == 15 || level == 20 || level == 30 || level == 40; }

// POST /projects/:id/share (lib/api/projects.rb, Projects::GroupLinks::CreateService): the project
// becomes visible among the group's projects (GET /groups/:id/projects with with_shared). 404 for
// an unknown group; 409 when it is shared with the group already, or the group holds it.
void share_project(Context& ctx) {
    const auto project = ctx.project();
    const Json& p = ctx.params();
    require_params(p, {"group_id", "group_access"});
    const auto group_id = *param_int(p, "group_id");
    const auto level = *param_int(p, "group_access");
    if (!share_level(level)) throw ApiError::error(400, "group_access does not have a valid value");
    const auto expires_at = param_string(p, "expires_at");
    const Json link = ctx.sandbox.write([&](State& s) {
        if (!s.groups.contains(group_id)) throw ApiError::message(404, "404 Group Not Found");
        const auto holder = project.record["namespace"]["id"].get<std::int64_t>();
        for (const auto id : group_subtree(s, group_id)) {
            if (id == holder) {
                throw ApiError::message(
                    409, "Project cannot be shared with the group it is in or one of its ancestors.");
            }
        }
        for (const auto& [id, other] : s.project_group_links) {
            if (other["project_id"] == project.id && other["group_id"] == group_id) {
                throw ApiError::message(409, "Group already shared with this group");
            }
        }
        const auto id = s.next_group_link_id++;
        return s.project_group_links[id] = Json{{"id", id},
                                                {"project_id", project.id},
                                                {"group_id", group_id},
                                                {"group_access", level},
                                                {"expires_at", expires_at ? Json(*expires_at) : Json(nullptr)}};
    });
    send_json(ctx.res, 201, link);
}

void unshare_project(Context& ctx) {
    const auto project = ctx.project();
    const auto group_id = numeric_id(ctx.arg("group_id"));
    ctx.sandbox.write([&](State& s) {
        const auto erased = std::erase_if(s.project_group_links, [&](const auto& kv) {
            return kv.second["project_id"] == project.id && group_id && kv.second["group_id"] == *group_id;
        });
        if (erased == 0) throw ApiError::message(404, "404 Group Link Not Found");
    });
    send_empty(ctx.res, 204);
}

// POST /-/sandbox/projects {"namespace_id", "names": [...], "description", "visibility",
// "default_branch", "user_id"}: many projects at once, each made and checked as POST /projects makes
// it (by `user_id`, default the administrator), all checked before any is added. Their bare
// repositories are made on first use (Sandbox::resolve_project). 201 {"ids": [...]} in the names' order.
void seed_projects(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"namespace_id", "names"});
    if (!p["names"].is_array()) throw ApiError::error(400, "names is invalid");
    const auto creator_id = param_int(p, "user_id").value_or(1);
    std::vector<NewProject> wanted;
    wanted.reserve(p["names"].size());
    Json one = p;
    one.erase("names");
    for (const auto& name : p["names"]) {
        if (!name.is_string()) throw ApiError::error(400, "names is invalid");
        one["name"] = name;
        wanted.push_back(new_project_params(one));
    }
    const Json ids = ctx.sandbox.write([&](State& s) {
        if (!s.users.contains(creator_id)) throw ApiError::message(404, "404 User Not Found");
        const auto [ns_id, ns] = new_project_namespace(ctx.sandbox, s, wanted.front(), creator_id);
        TakenNames taken(s, ns_id);
        for (const auto& n : wanted) {
            check_new_project(s, n, ns_id, ns, taken);
            taken.take(n);
        }
        Json out = Json::array();
        for (const auto& n : wanted) {
            const auto id = s.next_project_id++;
            add_project_entry(s, project_record(ctx.sandbox, s, id, n, ns, creator_id)).repository_made = false;
            out.push_back(id);
        }
        return out;
    });
    send_json(ctx.res, 201, Json{{"ids", ids}});
}

}  // namespace

void register_project_routes(Sandbox& sb) {
    sb.route("POST", "/api/v4/projects", create_project);
    sb.route("GET", "/api/v4/projects", list_projects);
    sb.route("GET", "/api/v4/projects/:id", get_project);
    sb.route("DELETE", "/api/v4/projects/:id", mark_project_for_deletion);
    sb.route("POST", "/api/v4/projects/:id/archive", [](Context& ctx) { set_archived(ctx, true); });
    sb.route("POST", "/api/v4/projects/:id/unarchive", [](Context& ctx) { set_archived(ctx, false); });
    sb.route("POST", "/api/v4/projects/:id/share", share_project);
    sb.route("DELETE", "/api/v4/projects/:id/share/:group_id", unshare_project);
    sb.route("GET", "/api/v4/groups/:id/projects", list_group_projects);
    sb.route("POST", "/-/sandbox/projects", seed_projects, Auth::none);
}

}  // namespace zorv_sandbox

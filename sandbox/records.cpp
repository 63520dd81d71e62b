// GitLab records built from the sandbox's state, and how they are searched.
#include "server.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace zorv_sandbox {

namespace fs = std::filesystem;

int visibility_level(std::string_view v) {
    if (v == "private") return 0;
    if (v == "internal") return 10;
    if (v == "public") return 20;
    return -1;
}

const Json* find_group(const State& state, std::string_view id_or_path) {
    if (const auto id = numeric_id(id_or_path)) {
        const auto it = state.groups.find(*id);
        return it == state.groups.end() ? nullptr : &it->second;
    }
    const auto wanted = lower_ascii(id_or_path);
    for (const auto& [id, g] : state.groups) {
        if (lower_ascii(g["full_path"].get<std::string>()) == wanted) return &g;
    }
    return nullptr;
}

Json* find_group(State& state, std::string_view id_or_path) {
    return const_cast<Json*>(find_group(static_cast<const State&>(state), id_or_path));
}

Json namespace_object(const State& state, std::int64_t namespace_id, const std::string& base_url) {
    if (const auto g = state.groups.find(namespace_id); g != state.groups.end()) {
        const Json& r = g->second;
        return Json{{"id", r["id"]},         {"name", r["name"]},           {"path", r["path"]},
                    {"kind", "group"},       {"full_path", r["full_path"]}, {"parent_id", r["parent_id"]},
                    {"avatar_url", nullptr}, {"web_url", r["web_url"]}};
    }
    for (const auto& [id, u] : state.users) {
        if (u.namespace_id != namespace_id) continue;
        const auto username = u.record["username"].get<std::string>();
        return Json{{"id", namespace_id},    {"name", u.record["name"]}, {"path", username},
                    {"kind", "user"},        {"full_path", username},    {"parent_id", nullptr},
                    {"avatar_url", nullptr}, {"web_url", base_url + "/" + username}};
    }
    return nullptr;
}

namespace {

// A bare repository without any branch yet.
bool repository_empty(const fs::path& repo) {
    std::error_code ec;
    const auto heads = repo / "refs" / "heads";
    if (fs::exists(heads, ec)) {
        for (auto it = fs::recursive_directory_iterator(heads, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_regular_file(ec)) return false;
        }
    }
    std::ifstream packed(repo / "packed-refs");
    std::string line;
    while (std::getline(packed, line)) {
        if (line.find(" refs/heads/") != std::string::npos) return false;
    }
    return true;
}

}  // namespace

Json present_project(const Sandbox& sandbox, const State& state, const ProjectEntry& project, bool simple) {
    const Json& r = project.record;
    if (simple) {
        Json out = Json::object();
        for (const char* key : {"id", "description", "name", "name_with_namespace", "path", "path_with_namespace",
                                "created_at", "default_branch", "tag_list", "topics", "ssh_url_to_repo",
                                "http_url_to_repo", "web_url", "readme_url", "forks_count", "avatar_url", "star_count",
                                "last_activity_at", "namespace"}) {
            out[key] = r.contains(key) ? r[key] : Json(nullptr);
        }
        return out;
    }
    Json out = r;
    out["empty_repo"] = repository_empty(sandbox.repository_path(r));
    const auto id = r["id"].get<std::int64_t>();
    Json shared = Json::array();
    for (const auto& [link_id, link] : state.project_group_links) {
        if (link["project_id"] != id) continue;
        const auto g = state.groups.find(link["group_id"].get<std::int64_t>());
        if (g == state.groups.end()) continue;
        shared.push_back(Json{{"group_id", g->first},
                              {"group_name", g->second["name"]},
                              {"group_full_path", g->second["full_path"]},
                              {"group_access_level", link["group_access"]},
                              {"expires_at", link["expires_at"]}});
    }
    out["shared_with_groups"] = std::move(shared);
    std::int64_t open = 0;
    for (const auto& [iid, issue] : state.issues) {
        if (issue["project_id"] == id && issue["state"] == "opened") ++open;
    }
    out["open_issues_count"] = open;
    return out;
}

ProjectEntry& add_project_entry(State& s, Json record) {
    const auto id = record["id"].get<std::int64_t>();
    s.namespace_projects[record["namespace"]["id"].get<std::int64_t>()].insert(id);
    ProjectEntry& entry = s.projects[id];
    entry.record = std::move(record);
    return entry;
}

const std::set<std::int64_t>& projects_in(const State& s, std::int64_t namespace_id) {
    static const std::set<std::int64_t> none;
    const auto it = s.namespace_projects.find(namespace_id);
    return it == s.namespace_projects.end() ? none : it->second;
}

std::vector<std::int64_t> group_subtree(const State& s, std::int64_t root) {
    std::vector<std::int64_t> out{root};
    for (std::size_t i = 0; i < out.size(); ++i) {
        for (const auto& [id, g] : s.groups) {
            if (g["parent_id"] == out[i]) out.push_back(id);
        }
    }
    return out;
}

fs::path erase_project(const Sandbox& sandbox, State& s, std::int64_t project_id) {
    const auto it = s.projects.find(project_id);
    if (it == s.projects.end()) return {};
    auto repo = sandbox.repository_path(it->second.record);
    if (const auto ns = s.namespace_projects.find(it->second.record["namespace"]["id"].get<std::int64_t>());
        ns != s.namespace_projects.end()) {
        ns->second.erase(project_id);
    }
    s.projects.erase(it);
    s.project_variables.erase(project_id);
    const auto of_project = [project_id](const Json& r) { return r.value("project_id", std::int64_t{0}) == project_id; };
    for (auto* records : {&s.pipelines, &s.issues, &s.notes, &s.project_group_links})
        std::erase_if(*records, [&](const auto& kv) { return of_project(kv.second); });
    std::erase_if(s.merge_requests, [&](const auto& kv) { return of_project(kv.second.record); });
    return repo;
}

void relocate_project(const Sandbox& sandbox, const State& state, Json& r, const std::string& name,
                      const std::string& path) {
    const Json ns = namespace_object(state, r["namespace"]["id"].get<std::int64_t>(), sandbox.base_url());
    std::string ns_full_name = ns["name"].get<std::string>();
    if (ns["kind"] == "group") ns_full_name = state.groups.at(ns["id"].get<std::int64_t>())["full_name"].get<std::string>();
    const auto full_path = ns["full_path"].get<std::string>() + "/" + path;
    const auto web_url = sandbox.base_url() + "/" + full_path;
    r["name"] = name;
    r["path"] = path;
    r["name_with_namespace"] = ns_full_name + " / " + name;
    r["path_with_namespace"] = full_path;
    r["namespace"] = ns;
    r["web_url"] = web_url;
    r["http_url_to_repo"] = web_url + ".git";
    r["ssh_url_to_repo"] = "git@127.0.0.1:" + full_path + ".git";
    r["container_registry_image_prefix"] = "127.0.0.1:5050/" + full_path;
}

std::string deletion_scheduled(const std::string& identifier, std::int64_t id) {
    return identifier + "-deletion_scheduled-" + std::to_string(id);
}

std::string str_field(const Json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

namespace {

bool same_ascii_case_insensitive(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

bool equal_ignoring_case(std::string_view value, std::string_view term) {
    return value.size() == term.size() &&
           std::equal(value.begin(), value.end(), term.begin(), same_ascii_case_insensitive);
}

bool contains_ignoring_case(std::string_view value, std::string_view term) {
    return std::search(value.begin(), value.end(), term.begin(), term.end(), same_ascii_case_insensitive) !=
           value.end();
}

}  // namespace

// Compares in place, without copies in lower case: lists search every record of the instance.
bool matches_search(std::string_view search, std::initializer_list<std::string_view> fields, SearchRule rule) {
    if (search.empty()) return true;
    std::string_view term = search;
    const bool prefix = rule.anchors && term.starts_with('^');
    const bool suffix = rule.anchors && term.ends_with('$') && term.size() > (prefix ? 1U : 0U);
    if (prefix) term.remove_prefix(1);
    if (suffix) term.remove_suffix(1);
    for (const auto value : fields) {
        if (term.size() < rule.min_partial || (prefix && suffix)) {
            if (equal_ignoring_case(value, term)) return true;
        } else if (prefix ? value.size() >= term.size() && equal_ignoring_case(value.substr(0, term.size()), term)
                   : suffix ? value.size() >= term.size() &&
                                  equal_ignoring_case(value.substr(value.size() - term.size()), term)
                            : contains_ignoring_case(value, term)) {
            return true;
        }
    }
    return false;
}

}  // namespace zorv_sandbox

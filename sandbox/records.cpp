// GitLab records built from the sandbox's state.
#include "records.hpp"

#include <algorithm>
#include <fstream>

namespace zorv_sandbox {

namespace fs = std::filesystem;

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

int visibility_level(std::string_view v) {
    if (v == "private") return 0;
    if (v == "internal") return 10;
    if (v == "public") return 20;
    return -1;
}

std::optional<std::int64_t> numeric_id(std::string_view text) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoll(std::string(text));
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
    std::int64_t open = 0;
    for (const auto& [iid, issue] : state.issues) {
        if (issue["project_id"] == id && issue["state"] == "opened") ++open;
    }
    out["open_issues_count"] = open;
    return out;
}

fs::path erase_project(const Sandbox& sandbox, State& s, std::int64_t project_id) {
    const auto it = s.projects.find(project_id);
    if (it == s.projects.end()) return {};
    auto repo = sandbox.repository_path(it->second.record);
    s.projects.erase(it);
    s.project_variables.erase(project_id);
    auto erase_where = [project_id](std::map<std::int64_t, Json>& m) {
        std::erase_if(m, [project_id](const auto& kv) { return kv.second.value("project_id", std::int64_t{0}) == project_id; });
    };
    erase_where(s.pipelines);
    erase_where(s.issues);
    erase_where(s.notes);
    erase_where(s.merge_requests);
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

}  // namespace zorv_sandbox

// Tags: list (ordered by name, date or version), show, create (annotated when given a message).
#include "repository/records.hpp"

#include <algorithm>
#include <unordered_map>

namespace zorv_sandbox::repository {
namespace {

Json tag_json(const repo::GitRepo& git, const repo::TagInfo& tag, const ProjectRef& project) {
    std::optional<repo::CommitInfo> commit;
    if (!tag.commit.empty()) commit = git.commits({tag.commit}).at(0);
    return tag_record(tag, commit, project);
}

void list_tags(Context& ctx) {
    const Json& p = ctx.params();
    const auto project = ctx.project();
    const std::string order_by = param_string(p, "order_by").value_or("updated");
    const std::string sort = param_string(p, "sort").value_or("desc");
    static const std::unordered_map<std::string, std::string> keys{
        {"name", "refname"}, {"updated", "creatordate"}, {"version", "version:refname"}};
    const auto key = keys.find(order_by);
    if (key == keys.end()) throw ApiError::error(400, "order_by does not have a valid value");
    if (sort != "asc" && sort != "desc") throw ApiError::error(400, "sort does not have a valid value");
    const std::string search = param_string(p, "search").value_or("");

    const repo::GitRepo git(project.repository);
    auto tags = git.tags(key->second);
    if (sort == "desc") std::reverse(tags.begin(), tags.end());
    std::erase_if(tags, [&](const repo::TagInfo& t) { return !matches_search(search, {t.name}, {.anchors = true}); });

    std::vector<std::string> ids;
    for (const auto& t : tags)
        if (!t.commit.empty()) ids.push_back(t.commit);
    std::unordered_map<std::string, repo::CommitInfo> commits;
    for (auto& c : git.commits(ids)) commits.emplace(c.id, std::move(c));

    Json items = Json::array();
    for (const auto& t : tags) {
        std::optional<repo::CommitInfo> commit;
        if (auto it = commits.find(t.commit); it != commits.end()) commit = it->second;
        items.push_back(tag_record(t, commit, project));
    }
    send_page(ctx.req, ctx.res, items);
}

void get_tag(Context& ctx) {
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const auto tag = git.tag(ctx.arg("tag_name"));
    if (!tag) throw ApiError::message(404, "404 Tag Not Found");
    send_json(ctx.res, 200, tag_json(git, *tag, project));
}

std::string strip(std::string s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

void create_tag(Context& ctx) {
    const Json& p = ctx.params();
    require_params(p, {"tag_name", "ref"});
    const std::string name = *param_string(p, "tag_name");
    const std::string ref = *param_string(p, "ref");
    const std::string message = strip(param_string(p, "message").value_or(""));
    const auto project = ctx.project();
    const repo::GitRepo git(project.repository);
    const auto lock = ctx.sandbox.repository_lock(project.repository);
    std::lock_guard guard(*lock);

    if (!git.valid_tag_name(name)) throw ApiError::message(400, "Tag name invalid");
    const auto commit = git.resolve_commit(ref);
    if (!commit) throw ApiError::message(400, "Target " + ref + " is invalid");
    if (git.tag(name)) throw ApiError::message(400, "Tag " + name + " already exists");
    const std::string target = message.empty() ? *commit : git.make_tag_object(name, *commit, message, caller_identity(ctx));
    if (!git.update_ref("refs/tags/" + name, target, {})) throw ApiError::message(400, "Tag " + name + " already exists");
    send_json(ctx.res, 201, tag_json(git, *git.tag(name), project));
}

}  // namespace

void register_tag_routes(Sandbox& sb) {
    sb.route("GET", "/api/v4/projects/:id/repository/tags", list_tags);
    sb.route("GET", "/api/v4/projects/:id/repository/tags/:tag_name", get_tag);
    sb.route("POST", "/api/v4/projects/:id/repository/tags", create_tag);
}

}  // namespace zorv_sandbox::repository

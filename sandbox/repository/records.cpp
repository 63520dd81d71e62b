// The JSON records of commits, branches and tags, and who the caller is as an author.
#include "repository/records.hpp"

namespace zorv_sandbox::repository {

std::string utf8_clean(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = len > 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
        if (ok && len == 2) ok = c >= 0xC2;  // no overlong forms
        if (ok && len == 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);  // overlong, surrogates
        }
        if (ok && len == 4) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            ok = c <= 0xF4 && !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (ok) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string default_branch(const ProjectRef& project) {
    const auto name = str_field(project.record, "default_branch");
    return name.empty() ? std::string(kDefaultBranch) : name;
}

repo::Identity caller_identity(Context& ctx) {
    Json user = Json::object();
    if (ctx.caller) {
        const auto id = ctx.caller->user_id;
        user = ctx.sandbox.read([&](const State& s) { return ctx.sandbox.user_record(s, id, true); });
    }
    repo::Identity who;
    who.name = str_field(user, "name");
    if (who.name.empty()) who.name = str_field(user, "username");
    if (who.name.empty()) who.name = "Administrator";
    who.email = str_field(user, "commit_email");
    if (who.email.empty()) who.email = str_field(user, "email");
    if (who.email.empty()) who.email = str_field(user, "public_email");
    if (who.email.empty()) {
        const auto username = str_field(user, "username");
        who.email = (username.empty() ? std::string("root") : username) + "@sandbox.invalid";
    }
    return who;
}

namespace {

// GitLab's commit title: the first line, shortened to about 80 characters when 100 or longer.
std::string commit_title(const std::string& message) {
    const auto end = message.find_first_of("\r\n");
    std::string line = message.substr(0, end);
    if (line.find_first_not_of(" \t") == std::string::npos) return "No commit message";
    std::size_t chars = 0, cut = std::string::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (chars == 80) cut = i;
        ++chars;
    }
    if (chars < 100) return line;
    std::string head = line.substr(0, cut);
    if (const auto space = head.rfind(' '); space != std::string::npos && space > 0) head.resize(space);
    return head + "\xE2\x80\xA6";  // "…"
}

}  // namespace

Json commit_record(const repo::CommitInfo& c, const ProjectRef& project) {
    Json j = Json::object();
    j["id"] = c.id;
    j["short_id"] = c.id.substr(0, 8);
    j["created_at"] = c.committed_date;
    j["parent_ids"] = c.parents;
    const auto message = utf8_clean(c.message);
    j["title"] = commit_title(message);
    j["message"] = message;
    j["author_name"] = utf8_clean(c.author_name);
    j["author_email"] = utf8_clean(c.author_email);
    j["authored_date"] = c.authored_date;
    j["committer_name"] = utf8_clean(c.committer_name);
    j["committer_email"] = utf8_clean(c.committer_email);
    j["committed_date"] = c.committed_date;
    j["trailers"] = Json::object();
    j["extended_trailers"] = Json::object();
    j["web_url"] = str_field(project.record, "web_url") + "/-/commit/" + c.id;
    return j;
}

Json commit_detail(const repo::GitRepo& git, const repo::CommitInfo& c, const ProjectRef& project,
                   const Json& last_pipeline) {
    Json j = commit_record(c, project);
    const auto stats = git.stats(c);
    j["stats"] = Json{{"additions", stats.additions},
                      {"deletions", stats.deletions},
                      {"total", stats.additions + stats.deletions}};
    j["status"] = nullptr;
    j["project_id"] = project.id;
    j["last_pipeline"] = last_pipeline;
    return j;
}

Json branch_record(const std::string& name, const repo::CommitInfo& commit, bool merged, const ProjectRef& project) {
    const bool is_default = name == default_branch(project);
    Json j = Json::object();
    j["name"] = utf8_clean(name);
    j["commit"] = commit_record(commit, project);
    j["merged"] = merged;
    // GitLab protects the default branch of a new project: maintainers only.
    j["protected"] = is_default;
    j["developers_can_push"] = false;
    j["developers_can_merge"] = false;
    j["can_push"] = true;
    j["default"] = is_default;
    j["web_url"] = str_field(project.record, "web_url") + "/-/tree/" + utf8_clean(name);
    return j;
}

Json tag_record(const repo::TagInfo& tag, const std::optional<repo::CommitInfo>& commit, const ProjectRef& project) {
    Json j = Json::object();
    j["name"] = utf8_clean(tag.name);
    j["message"] = utf8_clean(tag.message);
    j["target"] = tag.target;
    j["commit"] = commit ? commit_record(*commit, project) : Json(nullptr);
    j["release"] = nullptr;
    j["protected"] = false;
    j["created_at"] = tag.tagged_at.empty() ? Json(nullptr) : Json(tag.tagged_at);
    return j;
}

}  // namespace zorv_sandbox::repository

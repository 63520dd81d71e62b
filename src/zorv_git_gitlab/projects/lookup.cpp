// The project lookup: the project named exactly `project_name` in group `group_id`, searched among the
// group's own projects page by page.
//
// The search asks the group, not the instance (GET /groups/:id/projects, lib/api/groups.rb with
// GroupProjectsFinder): only the projects of that namespace whose names contain the text, however many
// the instance holds, so one request finds the project unless the group has more than a hundred
// look-alikes. An instance-wide search lists every visible project whose name contains the text,
// newest first (hundreds of thousands for a common word on a large instance) and refuses offset
// paging past its limit, so it could miss a project that exists. The parameters keep what the lookup
// matches: archived projects stay in (archived is not sent, and GitLab then filters nothing), projects
// shared into the group from elsewhere stay out (with_shared=False), as do those of subgroups
// (include_subgroups=False). A group that does not exist (404) or an answer refused finds nothing.
//
// A page lists up to a hundred records, of which few carry the exact name. Each page is read with
// simdjson, which validates all of it and tells each record's name without building the record; only
// the elements that may match (named exactly so, or not records with a name at all) are decoded into
// ordered_json, and the exact test runs on them as on a page decoded whole. A page simdjson refuses (it
// is stricter about a few spellings, such as integers beyond 64 bits) is decoded whole with nlohmann,
// so results and errors stay the same.
#include <simdjson.h>

#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// What one page told the search: the project when found, and whether the next page is to be read.
struct Verdict {
    std::optional<Json> found;
    bool more = false;
};

class ProjectSearch {
public:
    ProjectSearch(const std::string& project_name, std::int64_t group_id, std::string_view operation)
        : name_(project_name), group_id_(group_id), operation_(operation) {}

    Verdict read(const rest::Response& page) {
        if (auto verdict = scan(page.body())) return std::move(*verdict);
        return decoded(page.json());
    }

private:
    // The exact test: the name is project_name and the namespace's id is the integer group_id (the group
    // answers with its own projects only, but the test stays as it was, on what the server sent).
    [[nodiscard]] bool matches(const Json& project) const {
        if (rest::field(project, "name", operation_) != name_) return false;
        const Json& id = rest::field(rest::field(project, "namespace", operation_), "id", operation_);
        return id.is_number_integer() && id.get<std::int64_t>() == group_id_;
    }

    // Whether the exact test must see the element: anything but a record whose "name" (the last one, as
    // decoding keeps the last of repeated keys) is other than project_name.
    [[nodiscard]] bool may_match(simdjson::dom::element element) const {
        simdjson::dom::object record;
        if (element.get_object().get(record) != simdjson::SUCCESS) return true;
        std::optional<simdjson::dom::element> name;
        for (const auto member : record) {
            if (member.key == "name") name = member.value;
        }
        std::string_view text;
        return !name || (name->get_string().get(text) == simdjson::SUCCESS && text == name_);
    }

    // The page read with simdjson; no value when simdjson does not accept it.
    std::optional<Verdict> scan(const std::string& body) {
        simdjson::dom::element root;
        if (parser_.parse(body).get(root) != simdjson::SUCCESS) return std::nullopt;
        simdjson::dom::array elements;
        if (root.get_array().get(elements) != simdjson::SUCCESS) return Verdict{};  // not a list: the search ends
        for (const simdjson::dom::element element : elements) {
            if (!may_match(element)) continue;
            Json project = Json::parse(simdjson::minify(element), nullptr, false);
            if (project.is_discarded()) return std::nullopt;
            if (matches(project)) return Verdict{std::move(project), false};
        }
        return Verdict{std::nullopt, true};
    }

    // The page decoded whole.
    [[nodiscard]] Verdict decoded(Json page) const {
        if (!page.is_array()) return {};
        for (auto& project : page) {
            if (matches(project)) return {std::move(project), false};
        }
        return {std::nullopt, true};
    }

    const std::string& name_;
    std::int64_t group_id_;
    std::string_view operation_;
    simdjson::dom::parser parser_;
};

}  // namespace

std::optional<Json> get_project_info(Context& ctx, const std::string& project_name, std::int64_t group_id) {
    rest::Api api(ctx, "get_project_info");
    ProjectSearch search(project_name, group_id, api.operation());
    std::optional<Json> found;
    const rest::Params query{{"search", project_name},
                             {"simple", rest::bool_text(true)},
                             {"with_shared", rest::bool_text(false)},
                             {"include_subgroups", rest::bool_text(false)}};
    api.each_page(rest::Path{"groups", std::to_string(group_id), "projects"}, query,
                  [&](const rest::Response& page, int) {
                      auto verdict = search.read(page);
                      found = std::move(verdict.found);
                      return verdict.more;
                  });
    return found;
}

}  // namespace zorv_git_gitlab::ops

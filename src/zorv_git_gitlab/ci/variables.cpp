// CI/CD variables of projects and groups.
#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// GitLab masks only values of 8 or more characters from a-z A-Z 0-9 _ + = / @ : . ~ -; asking it to
// mask another value makes it refuse the whole variable.
bool maskable(const std::string& value) {
    if (value.size() < 8) return false;
    for (const char c : value) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '+' || c == '=' || c == '/' || c == '@' || c == ':' || c == '.' || c == '~' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// Creates the variable, or replaces its value when it exists and may be overwritten.
void set_variable(Context& ctx, rest::Api& api, const rest::Path& collection, const rest::Path& variable, const std::string& key,
                  const std::string& value, bool is_file, bool overwrite) {
    const Json payload = {{"key", key},
                          {"value", value},
                          {"variable_type", is_file ? "file" : "env_var"},
                          {"protected", false},
                          {"masked", !is_file && maskable(value)}};
    const auto existing = api.get(variable);
    std::optional<rest::Response> written;
    if (existing.status() == 200) {
        if (!overwrite) {
            print(ctx, "Environment variable " + key + " exists and it is requested to not overwrite it",
                  Outcome::Kind::nothing_to_do);
            return;
        }
        written.emplace(api.put_form(variable, {{"value", value}}));
    } else {
        written.emplace(api.post_json(collection, payload));
    }
    if (written->status() >= 200 && written->status() < 300) {
        print(ctx, "Environment variable " + key + " set successfully.");
    } else {
        fail(ctx, "Failed to set environment variable " + key + ". Response:", *written);
    }
}

}  // namespace

std::optional<Json> get_project_variable(Context& ctx, const std::string& project_name, const std::string& key,
                                         std::int64_t group_id) {
    rest::Api api(ctx, "get_project_variable");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    return api.get(rest::Path{"projects", project.id_text, "variables", key}).json_if({200});
}

void set_project_variable(Context& ctx, const std::string& project_name, const std::string& key,
                          const std::string& value, std::int64_t group_id, bool is_file, bool overwrite) {
    rest::Api api(ctx, "set_project_variable");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    set_variable(ctx, api, rest::Path{"projects", project.id_text, "variables"},
                 rest::Path{"projects", project.id_text, "variables", key}, key, value, is_file, overwrite);
}

std::optional<Json> get_group_variable(Context& ctx, std::int64_t group_id, const std::string& key) {
    rest::Api api(ctx, "get_group_variable");
    return api.get(rest::Path{"groups", std::to_string(group_id), "variables", key}).json_if({200});
}

void set_group_variable(Context& ctx, std::int64_t group_id, const std::string& key, const std::string& value,
                        bool is_file, bool overwrite) {
    rest::Api api(ctx, "set_group_variable");
    const auto group = std::to_string(group_id);
    set_variable(ctx, api, rest::Path{"groups", group, "variables"}, rest::Path{"groups", group, "variables", key}, key,
                 value, is_file, overwrite);
}

}  // namespace zorv_git_gitlab::ops

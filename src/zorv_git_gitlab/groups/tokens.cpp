// Minting user and group access tokens, and finding a group's token by name.
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

std::optional<std::string> token_of(Context& ctx, const rest::Api& api, const rest::Response& response) {
    if (response.status() != 201) {
        fail(ctx, "Failed to create the access token. Response: ", response);
        return std::nullopt;
    }
    const Json answer = response.json();  // kept alive: `token` refers into it
    const Json& token = rest::field(answer, "token", api.operation());
    if (!token.is_string()) throw MissingFieldError(api.operation(), "token");
    return token.get<std::string>();
}

}  // namespace

std::optional<std::string> create_repo_token(Context& ctx, std::int64_t user_id, const std::string& token_name) {
    rest::Api api(ctx, "create_repo_token");
    // Personal access tokens of another user are minted by an administrator through this route.
    const Json body = {{"name", token_name}, {"scopes", Json::array({"read_api"})}};
    return token_of(ctx, api, api.post_json(rest::Path{"users", std::to_string(user_id), "personal_access_tokens"}, body));
}

std::optional<std::string> create_group_access_token(Context& ctx, std::int64_t group_id,
                                                     const std::string& token_name) {
    rest::Api api(ctx, "create_group_access_token");
    const Json body = {{"name", token_name},
                       {"scopes", Json::array({"api", "read_api", "read_registry", "write_registry", "read_repository",
                                               "write_repository"})},
                       {"access_level", 50}};
    return token_of(ctx, api, api.post_json(rest::Path{"groups", std::to_string(group_id), "access_tokens"}, body));
}

std::optional<Json> get_access_token_info(Context& ctx, std::int64_t group_id, const std::string& token_name) {
    rest::Api api(ctx, "get_access_token_info");
    return api.find(rest::Path{"groups", std::to_string(group_id), "access_tokens"}, {}, [&](const Json& token) {
        return rest::field(token, "name", api.operation()) == token_name;
    });
}

}  // namespace zorv_git_gitlab::ops

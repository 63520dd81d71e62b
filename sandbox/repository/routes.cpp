#include "repository/routes.hpp"

#include "repository/service.hpp"

namespace zorv_sandbox {

void register_repository_routes(httplib::Server& /*server*/, Sandbox& sandbox) {
    // Every route goes through the sandbox's own router (raw-path matching, authentication,
    // journal, fault rules); the handlers share one Service for their lifetime.
    const auto service = std::make_shared<repository::Service>(sandbox);
    repository::register_branch_routes(service);
    repository::register_commit_routes(service);
    repository::register_tag_routes(service);
    repository::register_merge_request_routes(service);
    repository::register_git_http_routes(service);
}

}  // namespace zorv_sandbox

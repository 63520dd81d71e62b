// The sandbox's git-backed routes: branches, commits and files, tags, merge requests, and git
// over HTTPS. Called once by the server before it starts serving.
#pragma once

namespace httplib {
class Server;
}

namespace zorv_sandbox {

class Sandbox;

void register_repository_routes(httplib::Server& server, Sandbox& sandbox);

}  // namespace zorv_sandbox

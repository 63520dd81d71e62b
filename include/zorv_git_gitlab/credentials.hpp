// Which secret git may present to which server. A token belongs to one server: the library hands git
// the token of the context an operation runs on, for that context's server only; the credential helper
// it writes into a clone answers for the clone's server only, with the variable named after that
// server's host (token_variable) or, for the server GITLAB_HOST names, with GITLAB_TOKEN.
#pragma once

#include <string>
#include <string_view>

namespace zorv_git_gitlab {

// "scheme://host[:port]" of an address ("https://gitlab.example/group/app.git" gives
// "https://gitlab.example"); the address itself when it has no "://".
[[nodiscard]] inline std::string server_of(std::string_view url) {
    const auto scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) return std::string(url);
    return std::string(url.substr(0, url.find('/', scheme_end + 3)));
}

// The environment variable that holds the token for the server at `host` ("host" or "host:port", as
// in the server's addresses): "GITLAB_TOKEN_" followed by the host with ASCII letters in upper case,
// digits kept and every other character replaced by "_". gitlab.staging.example gives
// GITLAB_TOKEN_GITLAB_STAGING_EXAMPLE, 127.0.0.1:8443 gives GITLAB_TOKEN_127_0_0_1_8443.
[[nodiscard]] inline std::string token_variable(std::string_view host) {
    std::string name = "GITLAB_TOKEN_";
    for (const char c : host) {
        if (c >= 'a' && c <= 'z') {
            name += static_cast<char>(c - 'a' + 'A');
        } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            name += c;
        } else {
            name += '_';
        }
    }
    return name;
}

}  // namespace zorv_git_gitlab

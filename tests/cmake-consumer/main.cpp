// Uses the installed library as an outside program would: reads the configuration and makes one
// request to the server named by GITLAB_HOST.
//   consumer            prints api_url, then the outcome of one project lookup
#include <chrono>
#include <iostream>

#include <zorv_git_gitlab/git.hpp>

int main() {
    using zorv_git_gitlab::GitlabGit;
    std::cout << "api_url " << GitlabGit::api_url.get() << "\n";
    std::cout << "end states " << GitlabGit::PIPELINE_END_STATUS.size() << "\n";
    GitlabGit::settings.update([](zorv_git_gitlab::Settings& s) { s.connect_timeout = std::chrono::seconds(5); });
    try {
        const auto project = GitlabGit::get_project_info("consumer", 1);
        std::cout << "lookup " << (project ? project->dump() : "none") << "\n";
    } catch (const zorv_git_gitlab::TransportError& error) {
        std::cout << "transport error " << error.what() << "\n";
    }
    return 0;
}

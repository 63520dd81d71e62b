// 16 threads x 1,000 mixed operations against the sandbox through GitlabGit's class-level API: zero
// errors, every answer right, and standard output made of whole lines only. The workload runs in a
// child process (this binary again, ConcurrencyChild.Workload) whose standard output is captured
// through a pipe, so what is checked is the bytes that really left the process.
//
// ZORV_CONCURRENCY_OPS changes the operations per thread (the ThreadSanitizer run uses fewer).
#include <gtest/gtest.h>

#include <zorv_git/process.hpp>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_fixture.hpp"
#include "zorv_git_gitlab/git.hpp"

namespace {

using zorv_git_gitlab::GitlabGit;
using zorv_git_gitlab::Json;

constexpr int kThreads = 16;
constexpr std::string_view kChildVariable = "ZORV_CONCURRENCY_CHILD";
constexpr int kKinds = 10;

int ops_per_thread() {
    const char* text = std::getenv("ZORV_CONCURRENCY_OPS");
    return text && *text ? std::max(1, std::atoi(text)) : 1000;
}

// What the workload needs to know of the server: passed from the parent to the child as JSON.
struct World {
    std::string api_url, token, ca_file;
    std::int64_t group = 0, project = 0, pipeline = 0;
    std::string refused_body;  // the server's answer to a second README.md

    [[nodiscard]] Json to_json() const {
        return {{"api_url", api_url}, {"token", token},     {"ca_file", ca_file},          {"group", group},
                {"project", project}, {"pipeline", pipeline}, {"refused_body", refused_body}};
    }
    static World from_json(const Json& j) {
        return {j["api_url"], j["token"], j["ca_file"], j["group"], j["project"], j["pipeline"], j["refused_body"]};
    }
};

// The lines operation `kind` of thread `t` prints, or none.
std::optional<std::string> expected_line(int kind, int t, const World& world) {
    if (kind == 4) return "Environment variable T" + std::to_string(t) + " set successfully.";
    if (kind == 6) return "Failed to create README.md: " + world.refused_body;
    return std::nullopt;
}

// One operation; an empty string when its result is right, else what was wrong.
std::string run_one(int kind, int t, int i, const World& world) {
    const std::string name = "conc";
    const auto g = world.group;
    switch (kind) {
    case 0: {
        const auto p = GitlabGit::get_project_info(name, g);
        return p && (*p)["id"] == world.project ? "" : "lookup";
    }
    case 1: {
        const auto b = GitlabGit::get_branch_info(name, g, "master");
        return b && (*b)["name"] == "master" ? "" : "branch";
    }
    case 2:
        return GitlabGit::get_branch_info(name, g, "missing-" + std::to_string(t)) ? "missing branch found" : "";
    case 3: {
        const auto v = GitlabGit::get_project_variable(name, "SHARED", g);
        return v && (*v)["value"] == "shared-value" ? "" : "variable";
    }
    case 4:
        GitlabGit::set_project_variable(name, "T" + std::to_string(t), "value " + std::to_string(i), g);
        return "";
    case 5: {
        const auto tags = GitlabGit::get_tag_list(name, g);
        return tags && tags->is_array() && !tags->empty() && (*tags)[0]["name"] == "v1" ? "" : "tags";
    }
    case 6:
        GitlabGit::commit_file(name, g, "README.md", "again");
        return "";
    case 7: {
        const auto p = GitlabGit::get_single_pipeline_status(world.project, world.pipeline);
        return p && (*p)["id"] == world.pipeline ? "" : "pipeline";
    }
    case 8: {
        const std::string title = "issue " + std::to_string(t) + "-" + std::to_string(i);
        const auto issue = GitlabGit::create_issue(name, g, title, "issue", {"conc"});
        return issue && (*issue)["title"] == title ? "" : "issue";
    }
    default:
        return GitlabGit::get_sub_group_info("no-such-subgroup", g) ? "subgroup found" : "";
    }
}

// The child: the workload on kThreads threads; failures are reported on standard error.
TEST(ConcurrencyChild, Workload) {
    const char* world_text = std::getenv(std::string(kChildVariable).c_str());
    if (!world_text) GTEST_SKIP() << "runs only as the child of the Concurrency test";
    const World world = World::from_json(Json::parse(world_text));
    // This binary's own sandbox was started for nothing: talk to the parent's.
    GitlabGit::api_url = world.api_url;
    GitlabGit::gitlab_token = world.token;
    ::setenv("CURL_CA_BUNDLE", world.ca_file.c_str(), 1);
    GitlabGit::settings.update([](zorv_git_gitlab::Settings& s) {
        s.connect_timeout = std::chrono::seconds(10);
        s.stall_timeout = std::chrono::seconds(30);
    });

    const int ops = ops_per_thread();
    std::atomic<int> errors{0};
    std::mutex mutex;
    std::map<std::string, int> problems;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < ops; ++i) {
                const int kind = (i + t) % kKinds;
                std::string problem;
                try {
                    problem = run_one(kind, t, i, world);
                } catch (const std::exception& e) {
                    problem = std::string("exception: ") + e.what();
                }
                if (!problem.empty()) {
                    ++errors;
                    std::lock_guard lock(mutex);
                    ++problems[problem];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& [problem, count] : problems) ADD_FAILURE() << count << " x " << problem;
    EXPECT_EQ(errors.load(), 0);
}

class Concurrency : public ::testing::Test {
protected:
    static World prepare() {
        auto& sb = zorv_test::sandbox();
        World world;
        world.api_url = sb.api_url();
        world.token = sb.token();
        world.ca_file = sb.ca_file();
        const auto group = sb.api("POST", "groups", {{"name", "conc"}, {"path", "conc"}});
        if (group.status != 201) throw std::runtime_error(group.body);
        world.group = group.json["id"];
        GitlabGit::create_project("conc", world.group);
        const auto project = GitlabGit::get_project_info("conc", world.group);
        if (!project) throw std::runtime_error("no project");
        world.project = (*project)["id"];
        // CI configuration: pipelines are made only for commits that hold it.
        const auto ci = sb.api("POST", "projects/" + std::to_string(world.project) + "/repository/files/.gitlab-ci.yml",
                               {{"branch", "master"}, {"content", "t:\n  script: [x]\n"}, {"commit_message", "CI"}});
        if (ci.status != 201) throw std::runtime_error(ci.body);
        GitlabGit::set_project_variable("conc", "SHARED", "shared-value", world.group);
        GitlabGit::tag_project("v1", "conc", "master", world.group);
        const auto pipelines = sb.api("GET", "projects/" + std::to_string(world.project) + "/pipelines");
        if (pipelines.status != 200 || pipelines.json.empty()) throw std::runtime_error("no pipeline");
        world.pipeline = pipelines.json[0]["id"];
        const auto again = sb.api("POST", "projects/" + std::to_string(world.project) + "/repository/files/README.md",
                                  {{"branch", "master"}, {"content", "again"}, {"commit_message", "again"}});
        world.refused_body = again.body;
        return world;
    }
};

TEST_F(Concurrency, SixteenThreadsMixedOperationsZeroErrorsWholeLines) {
    const World world = prepare();
    const int ops = ops_per_thread();
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    ASSERT_FALSE(ec);

    zorv_git::process::Options options;
    options.env = {{std::string(kChildVariable), world.to_json().dump()}};
    options.timeout = std::chrono::minutes(10);
    const auto start = std::chrono::steady_clock::now();
    const auto result = zorv_git::process::run({self.string(), "--gtest_filter=ConcurrencyChild.Workload"}, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exit_code, 0) << result.err << result.out.substr(result.out.size() > 4000 ? result.out.size() - 4000 : 0);

    // Every line is GoogleTest's own or one whole line of the library; each expected line as often as
    // the operations that print it ran.
    std::map<std::string, int> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < ops; ++i) {
            if (const auto line = expected_line((i + t) % kKinds, t, world)) ++expected[*line];
        }
    }
    std::map<std::string, int> seen;
    int foreign = 0;
    std::string_view rest = result.out;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        ASSERT_NE(end, std::string_view::npos) << "output ends inside a line";
        const std::string line(rest.substr(0, end));
        rest.remove_prefix(end + 1);
        if (expected.contains(line)) {
            ++seen[line];
        } else if (!(line.empty() || line.starts_with("[") || line.starts_with("Note: Google Test filter") ||
                     line.starts_with("Running main()"))) {
            if (++foreign <= 5) ADD_FAILURE() << "a line that is no whole line: " << line;
        }
    }
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(seen, expected);
    std::printf("%d threads x %d operations: %.1f s\n", kThreads, ops, seconds);
}

}  // namespace

// zorv-bench: the C++ side of the benchmarks, started by bench/run.py against a running sandbox
// (GITLAB_HOST, GITLAB_TOKEN and CURL_CA_BUNDLE in the environment). Each subcommand prints one
// "BENCH-RESULT <json>" line.
//
//   latency   --client library|libcurl|curl --op OP --iterations N [--warmup N] --tag T  <target>
//   sequence  --count N --tag T <target>       every operation N times with the library (for callgrind)
//   threads   --threads N --millis MS [--server-pid PID] <target>
//             get_single_pipeline_status from N threads: throughput, and CPU used by client and server
//   commit-project --dir D --message M --project P --branch B --group G
//   plumbing  --dir D --message M --branch B
//   costs     [--iterations N] <target>     a kept-alive against a fresh connection; JSON decoding
//   create-project --project P --group G
//   clone     --dir D --project P --group G [--branch B]
//   relay     --to HOST:PORT --one-way-ms MS [--port P]   a delaying TCP relay (see relay.hpp)
// <target>: --project NAME --group ID --project-id ID --pipeline-id ID
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <latch>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clients.hpp"
#include "costs.hpp"
#include "common.hpp"
#include "relay.hpp"
#include "working_copy.hpp"
#include "zorv_git_gitlab/git.hpp"

namespace zorv_bench {
namespace {

using zorv_git_gitlab::GitlabGit;

// Branch names are unique per run (--tag) and iteration, so create_branch always sends its POST.
std::string branch_name(const std::string& tag, std::int64_t i) { return tag + "-" + std::to_string(i); }

nlohmann::json latency(const Options& options) {
    const auto target = Target::from(options);
    const std::string op = options.text("op");
    const std::string tag = options.text("tag");
    const auto client = make_client(options.text("client"), target);
    const auto warmup = options.number("warmup", 3);
    const auto iterations = options.number("iterations");
    for (std::int64_t i = 0; i < warmup; ++i) run_operation(*client, op, branch_name(tag + "-w", i));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(iterations));
    std::vector<std::vector<double>> per_request;  // by position within the operation
    for (std::int64_t i = 0; i < iterations; ++i) {
        const auto branch = branch_name(tag, i);
        const auto start = Clock::now();
        run_operation(*client, op, branch);
        samples.push_back(micros_since(start));
        const auto times = client->request_times();
        per_request.resize(std::max(per_request.size(), times.size()));
        for (std::size_t r = 0; r < times.size(); ++r) per_request[r].push_back(times[r]);
    }
    auto result = summarize(std::move(samples));
    if (!per_request.empty()) {
        result["requests_median_us"] = nlohmann::json::array();
        for (auto& times : per_request) result["requests_median_us"].push_back(summarize(std::move(times))["median_us"]);
    }
    return result;
}

nlohmann::json sequence(const Options& options) {
    const auto target = Target::from(options);
    const auto client = make_client("library", target);
    const auto count = options.number("count");
    const std::string tag = options.text("tag");
    for (std::int64_t i = 0; i < count; ++i) {
        client->get_project_info();
        client->get_single_pipeline_status();
        client->create_branch(branch_name(tag, i));
    }
    return {{"iterations", count}, {"requests", count * 6}};
}

// CPU seconds (user + system) of another process, from /proc; 0 when it cannot be read.
double process_cpu_seconds(std::int64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Idle CPU seconds of the whole machine so far (idle and iowait of /proc/stat's "cpu" line).
double machine_idle_seconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait;
    return (idle + iowait) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every thread first opens its connection with one call; then all run until the same deadline, and
// only calls completed before it count. CPU use of this process, of the server (--server-pid) and the
// machine's idle time are taken over the same window: throughput that stops growing while cores are
// idle would point at a lock.
nlohmann::json threads(const Options& options) {
    const auto target = Target::from(options);
    const auto count = static_cast<std::size_t>(options.number("threads"));
    const auto window = std::chrono::milliseconds(options.number("millis"));
    const auto server = options.number("server-pid", 0);
    std::latch ready(static_cast<std::ptrdiff_t>(count));
    std::latch go(1);
    Clock::time_point deadline;
    std::vector<std::int64_t> done(count, 0);
    std::vector<std::string> failures(count);
    double client_cpu = 0.0;
    double server_cpu = 0.0;
    double idle = 0.0;
    {
        std::vector<std::jthread> workers;
        for (std::size_t t = 0; t < count; ++t) {
            workers.emplace_back([&, t] {
                try {
                    (void)GitlabGit::get_single_pipeline_status(target.project_id, target.pipeline_id);
                } catch (const std::exception& e) {
                    failures[t] = e.what();
                }
                ready.count_down();
                go.wait();
                while (failures[t].empty()) {
                    try {
                        if (!GitlabGit::get_single_pipeline_status(target.project_id, target.pipeline_id)) {
                            failures[t] = "no pipeline record";
                        }
                    } catch (const std::exception& e) {
                        failures[t] = e.what();
                    }
                    if (Clock::now() > deadline) break;
                    ++done[t];
                }
            });
        }
        ready.wait();
        client_cpu = -own_cpu_seconds();
        server_cpu = server != 0 ? -process_cpu_seconds(server) : 0.0;
        idle = -machine_idle_seconds();
        deadline = Clock::now() + window;
        go.count_down();
        std::this_thread::sleep_until(deadline);
        client_cpu += own_cpu_seconds();
        server_cpu += server != 0 ? process_cpu_seconds(server) : 0.0;
        idle += machine_idle_seconds();
    }
    std::int64_t total = 0;
    for (std::size_t t = 0; t < count; ++t) {
        if (!failures[t].empty()) throw std::runtime_error("thread " + std::to_string(t) + ": " + failures[t]);
        total += done[t];
    }
    const double seconds = std::chrono::duration<double>(window).count();
    return {{"threads", count},
            {"requests", total},
            {"per_second", static_cast<double>(total) / seconds},
            {"client_cores", client_cpu / seconds},
            {"server_cores", server_cpu / seconds},
            {"idle_cores", idle / seconds}};
}

nlohmann::json create_project(const Options& options) {
    GitlabGit::create_project(options.text("project"), options.number("group"));
    const auto record = GitlabGit::get_project_info(options.text("project"), options.number("group"));
    if (!record) throw std::runtime_error("the project was not created");
    return {{"id", (*record)["id"]}};
}

nlohmann::json clone(const Options& options) {
    const auto branch = options.text("branch", "");
    return {{"dir", GitlabGit::clone_project(options.text("dir"), options.text("project"), options.number("group"), true,
                                             branch.empty() ? std::nullopt : std::optional<std::string>(branch))}};
}

}  // namespace
}  // namespace zorv_bench

int main(int argc, char** argv) {
    using namespace zorv_bench;
    if (argc < 2) {
        std::cerr << "usage: zorv-bench SUBCOMMAND --option value ... (see bench/driver/main.cpp)\n";
        return 2;
    }
    const std::string command = argv[1];
    try {
        const Options options(argc, argv, 2);
        nlohmann::json result;
        if (command == "latency") result = latency(options);
        else if (command == "sequence") result = sequence(options);
        else if (command == "threads") result = threads(options);
        else if (command == "commit-project") result = commit_project(options);
        else if (command == "plumbing") result = git_plumbing(options);
        else if (command == "costs") result = costs(options);
        else if (command == "create-project") result = create_project(options);
        else if (command == "clone") result = clone(options);
        else if (command == "relay") result = relay(options);
        else throw std::invalid_argument("unknown subcommand " + command);
        emit(result);
    } catch (const std::exception& e) {
        std::cerr << "zorv-bench " << command << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

// Shared pieces of the benchmark driver: command-line options, the sandbox objects a run works on,
// timing, and the result line the runner (bench/run.py) reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace zorv_bench {

using Clock = std::chrono::steady_clock;

// "--name value" pairs after the subcommand; every option takes exactly one value.
class Options {
public:
    Options(int argc, char** argv, int first);
    [[nodiscard]] std::string text(const std::string& name) const;  // required
    [[nodiscard]] std::string text(const std::string& name, const std::string& fallback) const;
    [[nodiscard]] std::int64_t number(const std::string& name) const;  // required
    [[nodiscard]] std::int64_t number(const std::string& name, std::int64_t fallback) const;

private:
    std::map<std::string, std::string, std::less<>> values_;
};

// What the request benchmarks work on: a project (by name and group, and its id) with a pipeline.
struct Target {
    std::string project;
    std::int64_t group = 0;
    std::int64_t project_id = 0;
    std::int64_t pipeline_id = 0;
    std::string ref = "master";

    static Target from(const Options& options);
};

// The sandbox address and token, from GITLAB_HOST and GITLAB_TOKEN as the library reads them.
struct Endpoint {
    std::string api_url;  // "https://host/api/v4/"
    std::string token;
    std::string ca_bundle;  // CURL_CA_BUNDLE, may be empty

    static Endpoint from_environment();
};

// The requests an operation puts on the wire, for the baselines that send them without the library.
namespace wire {
std::string form_encode(std::string_view value);
std::string lookup_url(const Endpoint& endpoint, const Target& target);
std::string pipeline_url(const Endpoint& endpoint, const Target& target);
std::string branch_url(const Endpoint& endpoint, const Target& target, const std::string& branch);
std::string branches_url(const Endpoint& endpoint, const Target& target);
std::string branch_body(const Target& target, const std::string& branch);
inline constexpr std::string_view kUserAgent = "zorv_git_gitlab/0.1";
}  // namespace wire

// Summary of per-iteration durations, in microseconds.
nlohmann::json summarize(std::vector<double> samples_us);

double micros_since(Clock::time_point start);

// Writes the one line the runner parses: "BENCH-RESULT <json>".
void emit(const nlohmann::json& result);

}  // namespace zorv_bench

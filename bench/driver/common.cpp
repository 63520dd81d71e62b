#include "common.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <numeric>
#include <stdexcept>

namespace zorv_bench {

Options::Options(int argc, char** argv, int first) {
    for (int i = first; i < argc; i += 2) {
        const std::string name = argv[i];
        if (!name.starts_with("--") || i + 1 >= argc) throw std::invalid_argument("expected --name value at " + name);
        values_[name.substr(2)] = argv[i + 1];
    }
}

std::string Options::text(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) throw std::invalid_argument("missing option --" + name);
    return it->second;
}

std::string Options::text(const std::string& name, const std::string& fallback) const {
    const auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::int64_t Options::number(const std::string& name) const { return std::stoll(text(name)); }

std::int64_t Options::number(const std::string& name, std::int64_t fallback) const {
    const auto it = values_.find(name);
    return it == values_.end() ? fallback : std::stoll(it->second);
}

Target Target::from(const Options& options) {
    Target t;
    t.project = options.text("project");
    t.group = options.number("group");
    t.project_id = options.number("project-id", 0);
    t.pipeline_id = options.number("pipeline-id", 0);
    return t;
}

Endpoint Endpoint::from_environment() {
    const char* host = std::getenv("GITLAB_HOST");
    const char* token = std::getenv("GITLAB_TOKEN");
    if (!host || !token) throw std::runtime_error("GITLAB_HOST and GITLAB_TOKEN must be set");
    const char* bundle = std::getenv("CURL_CA_BUNDLE");
    return Endpoint{std::string("https://") + host + "/api/v4/", token, bundle ? bundle : ""};
}

namespace wire {

std::string form_encode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

// The lookup searches one page of 100 of the group's own projects, in the reduced project form.
std::string lookup_url(const Endpoint& endpoint, const Target& target) {
    return endpoint.api_url + "groups/" + std::to_string(target.group) + "/projects?search=" +
           form_encode(target.project) + "&simple=True&with_shared=False&include_subgroups=False&per_page=100";
}

std::string pipeline_url(const Endpoint& endpoint, const Target& target) {
    return endpoint.api_url + "projects/" + std::to_string(target.project_id) + "/pipelines/" +
           std::to_string(target.pipeline_id);
}

std::string branch_url(const Endpoint& endpoint, const Target& target, const std::string& branch) {
    return branches_url(endpoint, target) + "/" + form_encode(branch);
}

std::string branches_url(const Endpoint& endpoint, const Target& target) {
    return endpoint.api_url + "projects/" + std::to_string(target.project_id) + "/repository/branches";
}

std::string branch_body(const Target& target, const std::string& branch) {
    return nlohmann::ordered_json{{"id", target.project_id}, {"branch", branch}, {"ref", target.ref}}.dump();
}

}  // namespace wire

nlohmann::json summarize(std::vector<double> samples_us) {
    if (samples_us.empty()) return {{"count", 0}};
    std::sort(samples_us.begin(), samples_us.end());
    const std::size_t n = samples_us.size();
    const double median =
        n % 2 == 1 ? samples_us[n / 2] : (samples_us[n / 2 - 1] + samples_us[n / 2]) / 2.0;
    const double mean = std::accumulate(samples_us.begin(), samples_us.end(), 0.0) / static_cast<double>(n);
    return {{"count", n},
            {"median_us", median},
            {"mean_us", mean},
            {"min_us", samples_us.front()},
            {"p90_us", samples_us[std::min(n - 1, n * 9 / 10)]}};
}

double micros_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void emit(const nlohmann::json& result) {
    std::cout << std::flush;
    std::cout << "BENCH-RESULT " << result.dump() << std::endl;
}

}  // namespace zorv_bench

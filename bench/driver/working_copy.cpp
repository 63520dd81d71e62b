#include "working_copy.hpp"

#include <sys/resource.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/git.hpp"

namespace zorv_bench {
namespace {

namespace process = zorv_git::process;

// The peak resident memory of this process's own image (VmHWM). getrusage's ru_maxrss is not used
// for it: after a vfork-style spawn it starts from the parent's peak (here the Python runner's).
long own_peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1;
}

// The largest peak of the children waited for (the git commands), in KiB.
long children_peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

double own_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string base64(std::string_view plain) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < plain.size(); i += 3) {
        const auto b0 = static_cast<unsigned char>(plain[i]);
        const auto b1 = i + 1 < plain.size() ? static_cast<unsigned char>(plain[i + 1]) : 0U;
        const auto b2 = i + 2 < plain.size() ? static_cast<unsigned char>(plain[i + 2]) : 0U;
        encoded += kAlphabet[b0 >> 2];
        encoded += kAlphabet[((b0 & 3U) << 4) | (b1 >> 4)];
        encoded += i + 1 < plain.size() ? kAlphabet[((b1 & 15U) << 2) | (b2 >> 6)] : '=';
        encoded += i + 2 < plain.size() ? kAlphabet[b2 & 63U] : '=';
    }
    return encoded;
}

// git's environment as the library sets it; for a fetch also the credential the library uses (an
// extra header passed through the environment, never on the command line).
process::Options git_options(const std::string& dir, bool authenticated) {
    process::Options options;
    options.cwd = dir;
    options.env.emplace_back("GIT_TERMINAL_PROMPT", "0");
    if (authenticated) {
        options.env.emplace_back("GIT_CONFIG_COUNT", "1");
        options.env.emplace_back("GIT_CONFIG_KEY_0", "http.extraHeader");
        options.env.emplace_back("GIT_CONFIG_VALUE_0",
                                 "Authorization: Basic " + base64("oauth2:" + Endpoint::from_environment().token));
    }
    return options;
}

process::Result git(const std::vector<std::string>& args, const process::Options& options) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = process::run(argv, options);
    if (!result.ok()) throw std::runtime_error("git " + args.front() + " failed: " + result.err + result.out);
    return result;
}

// The local side's blob of every entry of `git diff-tree -r -z --raw HEAD <server branch>` that has
// one: the content commit_project sends.
std::vector<std::string> local_blobs(const std::string& raw) {
    std::vector<std::string> blobs;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        const auto end = raw.find('\0', pos);
        const std::string_view record(raw.data() + pos, end - pos);  // ":mode mode oid oid status"
        pos = end + 1;
        const auto status = record.substr(record.rfind(' ') + 1);
        const std::size_t paths = (status.starts_with('R') || status.starts_with('C')) ? 2 : 1;
        for (std::size_t i = 0; i < paths; ++i) pos = raw.find('\0', pos) + 1;
        if (record.substr(1, 6) == "000000") continue;  // the file exists only on the server
        blobs.emplace_back(record.substr(15, 40));
    }
    return blobs;
}

}  // namespace

nlohmann::json commit_project(const Options& options) {
    const auto start = Clock::now();
    zorv_git_gitlab::GitlabGit::commit_project(options.text("dir"), options.text("message"),
                                               options.text("project"), options.text("branch"),
                                               options.number("group"));
    const double seconds = micros_since(start) / 1e6;
    return {{"seconds", seconds},
            {"cpu_seconds", own_cpu_seconds()},
            {"max_rss_kib", own_peak_kib()},
            {"max_rss_children_kib", children_peak_kib()}};
}

nlohmann::json git_plumbing(const Options& options) {
    const std::string dir = options.text("dir");
    const std::string tracking = "refs/remotes/origin/" + options.text("branch");
    const auto plain = git_options(dir, false);
    nlohmann::json steps = nlohmann::json::object();
    const auto total_start = Clock::now();
    auto timed = [&](const std::string& name, auto&& step) {
        const auto start = Clock::now();
        step();
        steps[name] = micros_since(start) / 1e6;
    };

    timed("fetch", [&] { git({"fetch", "origin"}, git_options(dir, true)); });
    timed("merge", [&] { git({"merge", "--no-edit", tracking}, plain); });
    timed("add", [&] { git({"add", "-A"}, plain); });
    timed("commit", [&] {
        auto with_message = plain;
        const std::string message = options.text("message");
        with_message.stdin_data = message;
        git({"commit", "--allow-empty", "--allow-empty-message", "--cleanup=verbatim", "--file=-"}, with_message);
    });
    std::string raw;
    timed("diff_tree", [&] { raw = git({"diff-tree", "-r", "-z", "-M", "--raw", "HEAD", tracking}, plain).out; });
    std::size_t bytes = 0;
    std::size_t blob_count = 0;
    timed("cat_file", [&] {
        std::string request;
        for (const auto& blob : local_blobs(raw)) {
            request += blob;
            request += '\n';
            ++blob_count;
        }
        auto streaming = plain;
        streaming.stdin_data = request;
        streaming.on_stdout = [&bytes](std::string_view chunk) { bytes += chunk.size(); };
        git({"cat-file", "--batch"}, streaming);
    });
    return {{"seconds", micros_since(total_start) / 1e6},
            {"steps", steps},
            {"blobs", blob_count},
            {"blob_bytes", bytes},
            {"max_rss_children_kib", children_peak_kib()}};
}

}  // namespace zorv_bench

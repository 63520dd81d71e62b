// Pipelines: the recent ones of a ref, one pipeline, a retry.
#include <chrono>
#include <cstdio>
#include <ctime>

#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// ISO 8601 in UTC without offset: 2024-04-30T12:00:00Z, or with .250000 when there are microseconds.
std::string utc_minutes_ago(std::int64_t minutes) {
    using namespace std::chrono;
    const auto moment = time_point_cast<microseconds>(system_clock::now()) - std::chrono::minutes(minutes);
    const auto since_epoch = moment.time_since_epoch();
    auto secs = duration_cast<seconds>(since_epoch);
    auto micros = (since_epoch - secs).count();
    if (micros < 0) {
        micros += 1000000;
        secs -= seconds(1);
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out(text, static_cast<std::size_t>(n));
    if (micros != 0) {
        std::snprintf(text, sizeof text, ".%06lld", static_cast<long long>(micros));
        out += text;
    }
    return out + "Z";
}

}  // namespace

std::optional<Json> get_pipeline_status(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                        const std::string& ref, std::int64_t last_minutes) {
    rest::Api api(ctx, "get_pipeline_status");
    const auto project = ctx.get_project_info(project_name, group_id);
    if (!present(project)) {
        print(ctx, "Project " + project_name + " doesn't exist", Outcome::Kind::not_found);
        return std::nullopt;
    }
    const auto id = rest::id_text(rest::field(*project, "id", api.operation()));
    std::optional<rest::Response> refused;
    auto pipelines = api.get_all(rest::Path{"projects", id, "pipelines"},
                                 {{"ref", ref}, {"updated_after", utc_minutes_ago(last_minutes)}}, &refused);
    if (!pipelines && refused) fail(ctx, "Failed to get pipeline status " + project_name + "/" + ref + ". Response:", *refused);
    return pipelines;
}

std::optional<Json> get_single_pipeline_status(Context& ctx, const Id& project_id, const Id& pipeline_id) {
    rest::Api api(ctx, "get_single_pipeline_status");
    return api.get(rest::Path{"projects", project_id.text(), "pipelines", pipeline_id.text()}).json_if({200});
}

std::optional<Json> retry_single_pipeline(Context& ctx, const Id& project_id, const Id& pipeline_id) {
    rest::Api api(ctx, "retry_single_pipeline");
    // GitLab answers a retry with 201 (older versions with 200).
    return api.post(rest::Path{"projects", project_id.text(), "pipelines", pipeline_id.text(), "retry"})
        .json_if({201, 200});
}

}  // namespace zorv_git_gitlab::ops

// Opening merge requests, and merging them once the server has finished its merge check.
#include <chrono>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <thread>

#include "projects/project.hpp"
#include "output.hpp"
#include "rest/api.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::ops {
namespace {

// States in which the server has not finished checking whether the merge request can be merged.
bool check_unfinished(const Json& status) {
    return status == "checking" || status == "unchecked" || status == "cannot_be_merged_recheck";
}

// A number as the caller wrote it: 60, 0.7.
std::string number_text(double value) {
    std::ostringstream out;
    out << std::setprecision(15) << value;
    return out.str();
}

std::string seconds_text(std::chrono::milliseconds interval) {
    return number_text(static_cast<double>(interval.count()) / 1000.0);
}

}  // namespace

std::optional<Json> create_merge_request(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                         const std::string& title, const std::string& source_branch,
                                         const std::string& target_branch) {
    rest::Api api(ctx, "create_merge_request");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    const Json body = {{"title", title}, {"source_branch", source_branch}, {"target_branch", target_branch}};
    const auto response = api.post_json(rest::Path{"projects", project.id_text, "merge_requests"}, body);
    if (response.status() == 201) return response.json();
    fail(ctx, "Failed to create merge request " + project_name + ":", response);
    return std::nullopt;
}

std::optional<Json> perform_merge(Context& ctx, const std::string& project_name, std::int64_t group_id,
                                  std::int64_t merge_request_id, const std::string& title, double timeout) {
    rest::Api api(ctx, "perform_merge");
    const auto project = require_project(ctx, api.operation(), project_name, group_id);
    const std::string iid = std::to_string(merge_request_id);
    const std::string name = project_name + "/" + iid;
    const auto interval = std::max(api.config().settings.merge_poll_interval, std::chrono::milliseconds(1));

    // Poll every interval while the check runs; the time is counted down before each wait, so a limit
    // allows ceil(timeout / interval) polls and the first poll comes one interval after the call.
    auto remaining = std::chrono::milliseconds(std::llround(timeout * 1000));
    bool done = false;
    while (remaining.count() > 0) {
        remaining -= interval;
        std::this_thread::sleep_for(interval);
        const auto poll = api.get(rest::Path{"projects", project.id_text, "merge_requests", iid});
        std::optional<Json> record;
        if (poll.status() == 200) record = poll.json();
        if (!record || !record->is_object() || !record->contains("merge_status")) {
            fail(ctx, "Failed to perform merge " + name, poll);
            return std::nullopt;
        }
        if (!check_unfinished((*record)["merge_status"])) {
            done = true;
            break;
        }
        ctx.log(LogLevel::info, name + ": checking waiting " + seconds_text(interval) + " seconds");
    }
    if (!done) throw MergeTimeoutError("Merge Request Checking Timeout after " + number_text(timeout) + " seconds");

    const Json body = {{"should_remove_source_branch", true}, {"merge_commit_message", title}};
    const auto response = api.put_json(rest::Path{"projects", project.id_text, "merge_requests", iid, "merge"}, body);
    if (response.status() == 200) return response.json();
    fail(ctx, "Failed to perform merge " + name, response);
    return std::nullopt;
}

}  // namespace zorv_git_gitlab::ops

// The context of a call made from Python: the configuration read from the class object the operation
// was called on, inner calls that go back to Python where that class redefines them, lines to
// sys.stdout and records to the root logger of `logging`.
#pragma once

#include <pybind11/pybind11.h>

#include <bitset>

#include "zorv_git_gitlab/context.hpp"

namespace zorv_binding {

// The inner calls a Python subclass may redefine, in the order git.py lists them.
enum class Inner { get_project_info, get_sub_group_info, get_branch_info, get_tag_info, commit_file, clean_workspace, count };

class CallContext final : public zorv_git_gitlab::Context {
public:
    // `state` is the tuple built by git.py's _context(cls): (cls, api_url, token, connect_timeout,
    // stall_timeout, max_tries, retry_total_time, merge_poll_interval, max_response_bytes, overridden)
    // where `overridden` holds the indexes (Inner) of the redefined inner calls. Needs the GIL.
    explicit CallContext(const pybind11::tuple& state);

    [[nodiscard]] zorv_git_gitlab::Config config() const override { return config_; }
    void print_line(std::string_view line) override;
    void log(zorv_git_gitlab::LogLevel level, std::string_view message) override;

    std::optional<zorv_git_gitlab::Json> get_project_info(const std::string& project_name,
                                                          std::int64_t group_id) override;
    std::optional<zorv_git_gitlab::Json> get_sub_group_info(const std::string& group_name,
                                                            std::int64_t parent_id) override;
    std::optional<zorv_git_gitlab::Json> get_branch_info(const std::string& project_name, std::int64_t group_id,
                                                         const std::string& branch_name) override;
    std::optional<zorv_git_gitlab::Json> get_tag_info(const std::string& tag_name, const std::string& project_name,
                                                      std::int64_t group_id) override;
    void commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                     const std::string& file_content) override;
    bool clean_workspace(const std::string& path, bool destroy) override;

private:
    [[nodiscard]] bool redefined(Inner inner) const { return overridden_.test(static_cast<std::size_t>(inner)); }
    template <typename... Args>
    std::optional<zorv_git_gitlab::Json> call_record(const char* name, Args&&... args);

    pybind11::object cls_;
    zorv_git_gitlab::Config config_;
    std::bitset<static_cast<std::size_t>(Inner::count)> overridden_;
};

}  // namespace zorv_binding

// The context of a call made from Python: the configuration read by name from the class object the
// operation was called on, inner calls that go back to Python where that class redefines them (in any
// way: a class method of a subclass, a static method, a function or a mock assigned to the class),
// lines to sys.stdout and records to the root logger of `logging`.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <bitset>
#include <memory>
#include <unordered_map>

#include "zorv_git_gitlab/context.hpp"

namespace zorv_binding {

constexpr std::size_t kInnerCalls = zorv_git_gitlab::kInnerCallNames.size();

// The library's own inner calls: the raw class attributes (the classmethod objects) GitlabGit holds
// once git.py has defined it. A class whose attribute of that name, found along its MRO, is another
// object redefines the call. The lookup goes through Python's type attribute cache, which every
// assignment to a class (mock.patch included) invalidates: cheap, and never stale.
// Likewise the token GitlabGit read from the environment at import: a class whose gitlab_token is
// that very object, found in GitlabGit itself along the MRO, takes its token from the environment.
class OwnInnerCalls {
public:
    // Notes the attributes of `cls` (GitlabGit) as the library's own. Needs the GIL.
    void adopt(pybind11::handle cls);
    // The inner calls `cls` redefines. Needs the GIL.
    [[nodiscard]] std::bitset<kInnerCalls> redefined_by(pybind11::handle cls) const;
    // True when `cls` neither assigned nor redefined gitlab_token since import. Needs the GIL.
    [[nodiscard]] bool token_from_environment(pybind11::handle cls) const;

private:
    std::array<pybind11::object, kInnerCalls> names_;
    std::array<pybind11::object, kInnerCalls> raw_;
    pybind11::object token_name_, token_owner_, environment_token_;
};

// The pacing of each class object the operations are called on (GitlabGit, a subclass), so that every
// call through the same class, from any thread, shares one: kept as long as the class lives, in a map
// keyed by the class with a weak reference whose callback drops the entry when the class goes. Used
// with the GIL held, which also keeps the map consistent.
class ClassPacings : public std::enable_shared_from_this<ClassPacings> {
public:
    std::shared_ptr<zorv_git_gitlab::Pacing> of(pybind11::handle cls);

private:
    struct Entry {
        pybind11::object weakref;
        std::shared_ptr<zorv_git_gitlab::Pacing> pacing;
    };
    std::unordered_map<PyObject*, Entry> entries_;
};

class CallContext final : public zorv_git_gitlab::Context {
public:
    // Reads api_url, gitlab_token, the limits (kSettings) and show_progress from `cls`, and takes its
    // pacing from `pacings`. Needs the GIL.
    CallContext(pybind11::handle cls, const OwnInnerCalls& own, ClassPacings& pacings);

    [[nodiscard]] zorv_git_gitlab::Config config() const override { return config_; }
    void print_line(std::string_view line) override;
    void log(zorv_git_gitlab::LogLevel level, std::string_view message) override;
    [[nodiscard]] bool log_enabled(zorv_git_gitlab::LogLevel level) const override;
    [[nodiscard]] bool redefines(zorv_git_gitlab::InnerCall call) const noexcept override {
        return redefined_.test(static_cast<std::size_t>(call));
    }
    [[nodiscard]] bool token_from_environment() const override { return token_from_environment_; }
    [[nodiscard]] bool show_progress() const override { return show_progress_; }

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
    zorv_git_gitlab::Pacing& pacing() noexcept override { return *pacing_; }

private:
    template <typename... Args>
    std::optional<zorv_git_gitlab::Json> call_record(zorv_git_gitlab::InnerCall call, Args&&... args);

    pybind11::object cls_;
    zorv_git_gitlab::Config config_;
    std::bitset<kInnerCalls> redefined_;
    std::shared_ptr<zorv_git_gitlab::Pacing> pacing_;
    bool debug_enabled_ = false;
    bool info_enabled_ = false;
    bool token_from_environment_ = false;
    bool show_progress_ = false;
};

}  // namespace zorv_binding

// The table of operations: each operation described once (its function, name, group, one-line help,
// parameter names, help and defaults, and what its result is to the faces). The Python binding and the
// command-line tool are built from it, and at build time the generator (src/generator/) writes from it
// GitlabGit's class-level operations, the defaults of operations.hpp and the Python type stubs.
//
// Adding an operation: write its steps file (a function `ops::name(Context&, ...)` declared in
// operations.hpp), then add one entry below; see docs/architecture.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "zorv_git_gitlab/operations.hpp"

namespace zorv_git_gitlab::table {

enum class Group { groups, projects, working_copies, merge, ci, issues };

constexpr std::string_view group_title(Group group) {
    switch (group) {
    case Group::groups:
        return "Groups and access tokens";
    case Group::projects:
        return "Projects, branches and files";
    case Group::working_copies:
        return "Working copies";
    case Group::merge:
        return "Merge requests, tags and history";
    case Group::ci:
        return "CI/CD variables and pipelines";
    case Group::issues:
        return "Issues";
    }
    return "";
}

// A parameter's default as the faces offer it; `required` when it has none.
struct Default {
    enum class Kind { required, text, integer, flag, none };
    Kind kind = Kind::required;
    std::string_view text{};
    std::int64_t integer = 0;
    bool flag = false;
};

struct Param {
    std::string_view name;
    std::string_view help;
    Default fallback{};
    // The Python annotation when it is not the one of the C++ type; "" for none.
    std::optional<std::string_view> annotation{};
    // A file-system path: Python also takes an os.PathLike.
    bool path = false;

    [[nodiscard]] constexpr Param or_text(std::string_view value) const { return with({Default::Kind::text, value}); }
    [[nodiscard]] constexpr Param or_integer(std::int64_t value) const {
        return with({Default::Kind::integer, {}, value});
    }
    [[nodiscard]] constexpr Param or_flag(bool value) const { return with({Default::Kind::flag, {}, 0, value}); }
    [[nodiscard]] constexpr Param or_none() const { return with({Default::Kind::none}); }
    [[nodiscard]] constexpr Param annotated(std::string_view python_type) const {
        Param copy = *this;
        copy.annotation = python_type;
        return copy;
    }
    [[nodiscard]] constexpr Param a_path() const {
        Param copy = *this;
        copy.path = true;
        return copy;
    }

private:
    [[nodiscard]] constexpr Param with(Default value) const {
        Param copy = *this;
        copy.fallback = value;
        return copy;
    }
};

// What the result is to the faces, where its C++ type does not tell: a list of records rather than
// one, or the directory of a working copy (which Python hands back as GitPython's Repo).
enum class Result { value, records, working_copy };

// What the faces add to an operation's parameters and result.
struct Traits {
    Result result = Result::value;
    bool extra_keywords = false;  // Python: further keyword arguments are accepted and ignored
};

// The parameter types of an operation function, after its Context.
template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R (*)(Context&, A...)> {
    using Result = R;
    using Args = std::tuple<std::remove_cvref_t<A>...>;
    using Declared = std::tuple<A...>;  // as declared, references and const included
    static constexpr std::size_t arity = sizeof...(A);
};

template <auto Function, std::size_t N>
struct Operation {
    using Sig = Signature<decltype(Function)>;
    static_assert(Sig::arity == N, "one table parameter per parameter of the function");
    static constexpr auto function = Function;

    std::string_view name;
    Group group;
    std::string_view help;
    std::array<Param, N> params;
    Traits traits;
};

// Whether a default of `kind` can stand for a parameter of C++ type T.
template <typename T>
constexpr bool default_fits(Default::Kind kind) {
    switch (kind) {
    case Default::Kind::required:
        return true;
    case Default::Kind::text:
        return std::is_same_v<T, std::string>;
    case Default::Kind::integer:
        return std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>;
    case Default::Kind::flag:
        return std::is_same_v<T, bool>;
    case Default::Kind::none:
        return std::is_same_v<T, std::optional<std::string>> || std::is_same_v<T, std::vector<std::string>>;
    }
    return false;
}

// An entry, checked against its function: one parameter each, defaults of the parameter's type and
// only on trailing parameters, paths only on texts, a list or a working copy only where the result
// can be one. A failed check stops the compilation at the entry.
template <auto Function, std::size_t N>
consteval Operation<Function, N> make(std::string_view name, Group group, std::string_view help,
                                      const Param (&params)[N], Traits traits = {}) {
    using Sig = Signature<decltype(Function)>;
    static_assert(Sig::arity == N, "one table parameter per parameter of the function");
    Operation<Function, N> op{name, group, help, {}, traits};
    for (std::size_t i = 0; i < N; ++i) op.params[i] = params[i];
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        const auto check = [&](const Param& param, bool fits, bool path_fits) {
            if (!fits) throw "the default does not fit the parameter's type";
            if (param.path && !path_fits) throw "only a text parameter can be a path";
        };
        (check(op.params[I], default_fits<std::tuple_element_t<I, typename Sig::Args>>(op.params[I].fallback.kind),
               std::is_same_v<std::tuple_element_t<I, typename Sig::Args>, std::string>),
         ...);
    }(std::make_index_sequence<N>());
    bool defaulted = false;
    for (const Param& param : op.params) {
        if (defaulted && param.fallback.kind == Default::Kind::required) {
            throw "a parameter without a default follows one with a default";
        }
        defaulted = param.fallback.kind != Default::Kind::required;
    }
    if (traits.result == Result::records && !std::is_same_v<typename Sig::Result, std::optional<Json>>) {
        throw "only an operation returning records returns a list of them";
    }
    if (traits.result == Result::working_copy && !std::is_same_v<typename Sig::Result, std::string>) {
        throw "a working copy is returned as its directory";
    }
    return op;
}

// The Python annotation of a parameter of C++ type T.
template <typename T>
constexpr std::string_view annotation_of() {
    if constexpr (std::is_same_v<T, bool>) return "bool";
    else if constexpr (std::is_same_v<T, std::int64_t>) return "int";
    else if constexpr (std::is_same_v<T, double>) return "float";
    else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::optional<std::string>>) return "str";
    else if constexpr (std::is_same_v<T, std::vector<std::string>>) return "list";
    else return "";  // Id: a number or text
}

#define ZORV_OPERATION(name, ...) make<&ops::name>(#name, __VA_ARGS__)

// Parameters that many operations share.
inline constexpr Param project_name{"project_name", "name of the project"};
inline constexpr Param group_id{"group_id", "id of the group that holds the project"};
inline constexpr Param a_group_id{"group_id", "id of the group"};
inline constexpr Param group_name{"group_name", "name of the subgroup"};
inline constexpr Param parent_id{"parent_id", "id of the parent group"};
inline constexpr Param token_name{"token_name", "name of the token"};
inline constexpr Param key{"key", "name of the variable"};
inline constexpr Param value{"value", "its value (masked when 8+ characters of a-zA-Z0-9_+=/@:.~-)"};
inline constexpr Param is_file = Param{"is_file", "a file variable"}.or_flag(false);
inline constexpr Param overwrite_variable =
    Param{"overwrite", "replace the value of an existing variable"}.or_flag(true);
inline constexpr Param issue_id{"issue_id", "the issue's number in the project (iid)"};
inline constexpr Param project_id = Param{"project_id", "id of the project"}.annotated("");
inline constexpr Param pipeline_id = Param{"pipeline_id", "id of the pipeline"}.annotated("");

using enum Group;

// Every operation, in the order the faces list them.
inline constexpr auto operations = std::make_tuple(
    // Groups and access tokens
    ZORV_OPERATION(create_sub_group, groups, "Create a subgroup under a parent group; true when created",
                   {Param{"group_name", "name (and path) of the new subgroup"}, parent_id}),
    ZORV_OPERATION(delete_sub_group, groups, "Delete a subgroup found by name under a parent group",
                   {group_name, parent_id}),
    ZORV_OPERATION(get_sub_group_id, groups, "The id of a subgroup found by name",
                   {group_name, parent_id,
                    Param{"raise_error", "a missing subgroup is an error (exit status 3)"}.or_flag(false)}),
    ZORV_OPERATION(get_sub_group_info, groups, "The record of a direct subgroup found by name",
                   {group_name, parent_id}),
    ZORV_OPERATION(create_repo_token, groups, "Mint a personal access token (read_api) for a user; its secret",
                   {Param{"user_id", "id of the user (needs an administrator's token)"},
                    Param{"token_name", "name of the new token"}}),
    ZORV_OPERATION(create_group_access_token, groups, "Mint a group access token (owner level); its secret",
                   {a_group_id, Param{"token_name", "name of the new token"}}),
    ZORV_OPERATION(get_access_token_info, groups, "The record of a group's access token found by name",
                   {a_group_id, token_name}),

    // Projects, branches and files
    ZORV_OPERATION(create_project, projects, "Create an internal project and commit a README.md to master",
                   {Param{"project_name", "name (and path) of the new project"},
                    Param{"group_id", "id of the group to create it in"}},
                   {.extra_keywords = true}),
    ZORV_OPERATION(get_project_info, projects, "The record of a project found by name in a group",
                   {project_name, group_id}, {.extra_keywords = true}),
    ZORV_OPERATION(delete_project, projects, "Delete a project found by name in a group", {project_name, group_id},
                   {.extra_keywords = true}),
    ZORV_OPERATION(get_branch_info, projects, "The record of a branch",
                   {project_name, group_id, Param{"branch_name", "name of the branch"}}),
    ZORV_OPERATION(create_branch, projects, "Create a branch from a ref unless it exists; the new branch's record",
                   {project_name, group_id, Param{"branch_name", "name of the new branch"},
                    Param{"ref", "branch, tag or commit to start it from"}.or_text("master")}),
    ZORV_OPERATION(delete_branch, projects, "Delete a branch if it exists",
                   {project_name, group_id, Param{"branch_name", "name of the branch"}}),
    ZORV_OPERATION(clone_project, working_copies, "Clone a project into a local directory; the working copy",
                   {Param{"repo_dir", "directory to clone into"}.a_path(), project_name, group_id,
                    Param{"overwrite", "clear a non-empty directory first (else it is an error)"}.or_flag(true),
                    Param{"branch", "branch to check out"}.or_none()},
                   {.result = Result::working_copy, .extra_keywords = true}),
    ZORV_OPERATION(commit_file, projects, "Commit one new file with the given text to master",
                   {project_name, group_id, Param{"filename", "path of the new file in the repository"},
                    Param{"file_content", "text of the file"}.annotated("")}),

    // Working copies
    ZORV_OPERATION(commit_project, working_copies,
                   "Publish every local change of a working copy to a branch as one commit",
                   {Param{"repo_dir", "the working copy (a clone made by clone_project)"}.a_path(),
                    Param{"commit_message", "message of the commit"}, project_name,
                    Param{"remote_branch", "branch to publish to"}, group_id,
                    Param{"author_name", "author of the commit"}.or_none(),
                    Param{"author_email", "author's e-mail address"}.or_none()},
                   {.extra_keywords = true}),

    // Merge requests, tags and history
    ZORV_OPERATION(create_merge_request, merge, "Open a merge request; its record",
                   {project_name, group_id, Param{"title", "title of the merge request"},
                    Param{"source_branch", "branch to merge"},
                    Param{"target_branch", "branch to merge into"}.or_text("master")}),
    ZORV_OPERATION(perform_merge, merge, "Wait for the server's merge check, then merge; the merged record",
                   {project_name, group_id,
                    Param{"merge_request_id", "the merge request's number in the project (iid)"},
                    Param{"title", "message of the merge commit"},
                    Param{"timeout", "seconds to wait for the merge check"}.or_integer(60).annotated("int")}),
    ZORV_OPERATION(get_commits_by_range, merge, "The commits between two refs (start...end)",
                   {Param{"start_ref", "first ref"}, Param{"end_ref", "second ref"}, project_name, group_id},
                   {.result = Result::records}),
    ZORV_OPERATION(get_tag_list, merge, "A project's tags ordered by version", {project_name, group_id},
                   {.result = Result::records}),
    ZORV_OPERATION(get_tag_info, merge, "The record of a tag",
                   {Param{"tag_name", "name of the tag"}, project_name, group_id}),
    ZORV_OPERATION(tag_project, merge, "Tag a branch unless the tag exists",
                   {Param{"tag_name", "name of the new tag"}, project_name, Param{"remote_branch", "branch to tag"},
                    group_id}),

    // CI/CD
    ZORV_OPERATION(get_project_variable, ci, "A project's CI/CD variable", {project_name, key, group_id}),
    ZORV_OPERATION(set_project_variable, ci, "Create or update a project's CI/CD variable",
                   {project_name, key, value, group_id, is_file, overwrite_variable}),
    ZORV_OPERATION(get_group_variable, ci, "A group's CI/CD variable", {a_group_id, key}),
    ZORV_OPERATION(set_group_variable, ci, "Create or update a group's CI/CD variable",
                   {a_group_id, key, value, is_file, overwrite_variable}),
    ZORV_OPERATION(get_pipeline_status, ci, "The pipelines of a ref updated in the last minutes",
                   {project_name, group_id, Param{"ref", "branch or tag"}.or_text("master"),
                    Param{"last_minutes", "how far back to look, in minutes"}.or_integer(1440)},
                   {.result = Result::records}),
    ZORV_OPERATION(get_single_pipeline_status, ci, "One pipeline's record", {project_id, pipeline_id}),
    ZORV_OPERATION(retry_single_pipeline, ci, "Retry a pipeline's failed jobs; its record", {project_id, pipeline_id}),

    // Issues
    ZORV_OPERATION(create_issue, issues, "Open an issue; its record",
                   {project_name, group_id, Param{"title", "title of the issue"},
                    Param{"issue_type", "issue, incident or test_case"},
                    Param{"labels", "a label (repeat the option for more)"}.or_none()}),
    ZORV_OPERATION(close_issue, issues, "Close an issue; its record", {project_name, group_id, issue_id}),
    ZORV_OPERATION(create_note, issues, "Add a note to an issue; its record",
                   {project_name, group_id, issue_id, Param{"note_body", "text of the note"}}));

#undef ZORV_OPERATION

// Calls `visit(op)` for every operation of the table, in order.
template <typename F>
constexpr void for_each_operation(F&& visit) {
    std::apply([&](const auto&... op) { (visit(op), ...); }, operations);
}

}  // namespace zorv_git_gitlab::table

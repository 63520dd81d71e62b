// Turning the comparison of the local HEAD commit (side a) with the server's branch (side b) into
// the actions of one commits-API request, and the one-line summary printed when the server refuses it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorv_git_gitlab::working_copy {

// One entry of `git diff-tree -r -z -M --raw <a> <b>`.
struct Change {
    char status = 0;  // A, C, D, M, R, T (U, X never come from two trees)
    std::string a_mode, b_mode;
    std::string a_blob, b_blob;
    std::string a_path, b_path;  // b_path differs only for R and C
};

// Parses the NUL-separated raw output; std::runtime_error on text that is not in that form.
std::vector<Change> parse_raw_diff(std::string_view output);

enum class ActionKind { create, update, remove, chmod };
std::string_view action_name(ActionKind kind) noexcept;  // "create", "update", "delete", "chmod"

struct Action {
    ActionKind kind{};
    std::string path;
    std::string blob;         // create, update: the object whose bytes become the content
    bool executable = false;  // create, update: committed as 100755; chmod: the bit to set
    std::string last_commit_id;  // update, delete, chmod: the path's last commit on the server's branch, when sent
};

// The actions that make side b equal to side a, in four passes: updates (M, then T), creates (D),
// deletes (A, then C), then a delete and a create for each rename (R). An executable file that is
// created, or whose executable bit differs from the server's, is followed by a chmod action; a change
// of the mode alone gives the chmod action only; a file replacing a symbolic link or a submodule of
// the server is a delete and a create of its path. UnpublishableChangeError, naming the paths, when a
// create or update would publish a symbolic link or a submodule.
std::vector<Action> plan_actions(const std::vector<Change>& changes);

// The failure line: each path with its action, in the order of the actions, as Python prints a dict
// ({'a.txt': 'update', 'b': 'delete'}). A later action replaces the earlier one for its path, except
// that a chmod action never replaces another.
std::string failure_map_line(const std::vector<Action>& actions);

// Python's repr() of a str holding this UTF-8 text.
std::string python_repr(std::string_view text);

}  // namespace zorv_git_gitlab::working_copy

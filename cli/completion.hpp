// Shell completion for zorv-gitlab: the operations, their options (flags with their --no- forms) and
// the global options, written as a script for bash, zsh or fish (`zorv-gitlab completion SHELL`).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace zorv_cli {

struct CompletionOption {
    std::string name;  // with its dashes: "--project-name"
    std::string help;
    bool takes_value = false;
    bool path = false;  // its value names a file or directory
};

struct CompletionCommand {
    std::string name;     // as in the table: "create_branch"
    std::string dashed;   // "create-branch"
    std::string help;
    std::vector<CompletionOption> options;
};

struct CompletionModel {
    std::vector<CompletionOption> globals;  // accepted before or after the operation
    std::vector<CompletionCommand> commands;
};

inline constexpr std::string_view kCompletionCommand = "completion";
inline constexpr std::array<std::string_view, 3> kCompletionShells{"bash", "zsh", "fish"};

// The completion script for `shell` (one of kCompletionShells).
[[nodiscard]] std::string completion_script(std::string_view shell, const CompletionModel& model);

}  // namespace zorv_cli

#include "completion.hpp"

#include <sstream>
#include <stdexcept>

namespace zorv_cli {
namespace {

constexpr std::string_view kProgram = "zorv-gitlab";

// `text` in single quotes for bash and zsh: every ' written as '\''.
std::string sh_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// `text` in single quotes for fish, where \ and ' are escaped inside them.
std::string fish_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

// The names of `options` (those taking a value only, when `values`), separated by spaces; with
// `padded`, also one space before and after, so that " $word " finds a whole name.
std::string names(const std::vector<CompletionOption>& options, bool values, bool padded = false) {
    std::string out;
    for (const auto& option : options) {
        if (values && !option.takes_value) continue;
        if (!out.empty()) out += ' ';
        out += option.name;
    }
    return padded ? " " + out + " " : out;
}

std::string paths_of(const std::vector<CompletionOption>& options) {
    std::vector<CompletionOption> paths;
    for (const auto& option : options) {
        if (option.path) paths.push_back(option);
    }
    return names(paths, false, true);
}

std::string shells() {
    std::string out;
    for (const auto shell : kCompletionShells) out += (out.empty() ? "" : " ") + std::string(shell);
    return out;
}

std::string bash(const CompletionModel& model) {
    std::ostringstream out;
    std::string dashed, plain;
    for (const auto& command : model.commands) {
        dashed += command.dashed + " ";
        plain += command.name + " ";
    }
    out << "# bash completion for " << kProgram << ": its operations, their options (flags with their --no- forms)\n"
        << "# and the global options. Written by `" << kProgram << " completion bash`; load it with\n"
        << "#   source <(" << kProgram << " completion bash)\n"
        << "_zorv_gitlab() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local globals=" << sh_quoted(names(model.globals, false)) << "\n"
        << "    local global_values=" << sh_quoted(names(model.globals, true, true)) << "\n"
        << "    local command= word i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        word=${COMP_WORDS[i]}\n"
        << "        if [[ $global_values == *\" $word \"* ]]; then ((i++)); continue; fi\n"
        << "        [[ $word == -* ]] && continue\n"
        << "        command=$word\n"
        << "        break\n"
        << "    done\n"
        << "    local options= values= paths=\n"
        << "    case $command in\n"
        << "    '') ;;\n";
    for (const auto& command : model.commands) {
        out << "    " << command.name << "|" << command.dashed << ")\n"
            << "        options=" << sh_quoted(names(command.options, false)) << "\n"
            << "        values=" << sh_quoted(names(command.options, true, true))
            << " paths=" << sh_quoted(paths_of(command.options)) << " ;;\n";
    }
    out << "    " << kCompletionCommand << ")\n"
        << "        [[ $cur == -* ]] || COMPREPLY=($(compgen -W " << sh_quoted(shells()) << " -- \"$cur\"))\n"
        << "        return 0 ;;\n"
        << "    *) return 0 ;;\n"
        << "    esac\n"
        << "    # The value of an option: file names for paths, nothing to offer otherwise.\n"
        << "    if [[ $global_values$values == *\" $prev \"* ]]; then\n"
        << "        COMPREPLY=()\n"
        << "        [[ $paths == *\" $prev \"* ]] && COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        << "        return 0\n"
        << "    fi\n"
        << "    if [[ -z $command && $cur != -* ]]; then\n"
        << "        if [[ $cur == *_* ]]; then\n"
        << "            COMPREPLY=($(compgen -W " << sh_quoted(plain + std::string(kCompletionCommand)) << " -- \"$cur\"))\n"
        << "        else\n"
        << "            COMPREPLY=($(compgen -W " << sh_quoted(dashed + std::string(kCompletionCommand))
        << " -- \"$cur\"))\n"
        << "        fi\n"
        << "    else\n"
        << "        COMPREPLY=($(compgen -W \"$options $globals\" -- \"$cur\"))\n"
        << "    fi\n"
        << "}\n"
        << "complete -F _zorv_gitlab " << kProgram << "\n";
    return out.str();
}

// "name:help" entries for zsh's _describe, each quoted.
std::string zsh_described(const std::vector<CompletionOption>& options) {
    std::string out;
    for (const auto& option : options) out += " " + sh_quoted(option.name + ":" + option.help);
    return out;
}

std::string zsh(const CompletionModel& model) {
    std::ostringstream out;
    out << "#compdef " << kProgram << "\n"
        << "# zsh completion for " << kProgram << ": its operations, their options (flags with their --no- forms)\n"
        << "# and the global options. Written by `" << kProgram << " completion zsh`; save it as _" << kProgram
        << "\n# in a directory of $fpath, or load it with: source <(" << kProgram << " completion zsh)\n"
        << "_zorv_gitlab() {\n"
        << "    local -a globals global_values options values paths commands\n"
        << "    globals=(" << zsh_described(model.globals) << ")\n"
        << "    global_values=(" << names(model.globals, true) << ")\n"
        << "    local command= i=2\n"
        << "    while (( i < CURRENT )); do\n"
        << "        if (( ${global_values[(Ie)$words[i]]} )); then (( i += 2 )); continue; fi\n"
        << "        if [[ $words[i] == -* ]]; then (( i++ )); continue; fi\n"
        << "        command=$words[i]\n"
        << "        break\n"
        << "    done\n"
        << "    case $command in\n"
        << "    ('') ;;\n";
    for (const auto& command : model.commands) {
        std::vector<CompletionOption> paths;
        for (const auto& option : command.options) {
            if (option.path) paths.push_back(option);
        }
        out << "    (" << command.name << "|" << command.dashed << ")\n"
            << "        options=(" << zsh_described(command.options) << ")\n"
            << "        values=(" << names(command.options, true) << ") paths=(" << names(paths, false) << ") ;;\n";
    }
    out << "    (" << kCompletionCommand << ") compadd " << shells() << "; return ;;\n"
        << "    (*) return 1 ;;\n"
        << "    esac\n"
        << "    local prev=$words[CURRENT-1]\n"
        << "    if (( ${paths[(Ie)$prev]} )); then _files; return; fi\n"
        << "    if (( ${values[(Ie)$prev]} || ${global_values[(Ie)$prev]} )); then _message value; return; fi\n"
        << "    if [[ -z $command && $PREFIX != -* ]]; then\n"
        << "        commands=(";
    for (const auto& command : model.commands) out << " " << sh_quoted(command.dashed + ":" + command.help);
    out << " " << sh_quoted(std::string(kCompletionCommand) + ":print a completion script (" + shells() + ")") << ")\n"
        << "        _describe -t commands operation commands\n"
        << "    else\n"
        << "        _describe -t options option options -- globals\n"
        << "    fi\n"
        << "}\n"
        << "if [[ $zsh_eval_context[-1] == loadautofunc ]]; then _zorv_gitlab \"$@\"; else compdef _zorv_gitlab "
        << kProgram << "; fi\n";
    return out.str();
}

// One `complete` line per option, under `condition` (none: always).
void fish_options(std::ostringstream& out, const std::vector<CompletionOption>& options, const std::string& condition) {
    for (const auto& option : options) {
        out << "complete -c " << kProgram;
        if (!condition.empty()) out << " -n " << fish_quoted(condition);
        out << " -l " << option.name.substr(2);
        if (option.takes_value) out << (option.path ? " -r -F" : " -x");
        out << " -d " << fish_quoted(option.help) << "\n";
    }
}

std::string fish(const CompletionModel& model) {
    std::ostringstream out;
    out << "# fish completion for " << kProgram << ": its operations, their options (flags with their --no- forms)\n"
        << "# and the global options. Written by `" << kProgram << " completion fish`; save it as\n"
        << "# ~/.config/fish/completions/" << kProgram << ".fish, or load it with: " << kProgram
        << " completion fish | source\n"
        << "function __zorv_gitlab_command --description 'the operation on the command line'\n"
        << "    set -l tokens (commandline -opc)\n"
        << "    set -e tokens[1]\n"
        << "    set -l skip 0\n"
        << "    for token in $tokens\n"
        << "        if test $skip = 1\n"
        << "            set skip 0\n"
        << "            continue\n"
        << "        end\n"
        << "        if contains -- $token " << names(model.globals, true) << "\n"
        << "            set skip 1\n"
        << "            continue\n"
        << "        end\n"
        << "        string match -q -- '-*' $token; and continue\n"
        << "        echo $token\n"
        << "        return 0\n"
        << "    end\n"
        << "    return 1\n"
        << "end\n"
        << "function __zorv_gitlab_using --description 'true when the operation is one of the arguments'\n"
        << "    set -l command (__zorv_gitlab_command); or return 1\n"
        << "    contains -- $command $argv\n"
        << "end\n"
        << "complete -c " << kProgram << " -f\n";
    for (const auto& command : model.commands) {
        out << "complete -c " << kProgram << " -n 'not __zorv_gitlab_command' -a " << command.dashed << " -d "
            << fish_quoted(command.help) << "\n";
    }
    out << "complete -c " << kProgram << " -n 'not __zorv_gitlab_command' -a " << kCompletionCommand << " -d "
        << fish_quoted("print a completion script (" + shells() + ")") << "\n"
        << "complete -c " << kProgram << " -n '__zorv_gitlab_using " << kCompletionCommand << "' -a "
        << fish_quoted(shells()) << "\n";
    fish_options(out, model.globals, "");
    for (const auto& command : model.commands) {
        fish_options(out, command.options, "__zorv_gitlab_using " + command.name + " " + command.dashed);
    }
    return out.str();
}

}  // namespace

std::string completion_script(std::string_view shell, const CompletionModel& model) {
    if (shell == "bash") return bash(model);
    if (shell == "zsh") return zsh(model);
    if (shell == "fish") return fish(model);
    throw std::invalid_argument("no completion for the shell " + std::string(shell));
}

}  // namespace zorv_cli

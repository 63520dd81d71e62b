// zorv-gitlab: every operation of GitlabGit as a subcommand, its parameters as options.
//
//   zorv-gitlab [--json] [--timeout-connect S] [--timeout-stall S] [--poll-interval S] [--max-tries N]
//               OPERATION --parameter value ...
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "runner.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace {

using zorv_cli::CliContext;
using zorv_cli::Outcome;
using zorv_cli::result;
namespace ops = zorv_git_gitlab::ops;

// The values of every parameter an operation may take. Only one operation runs per command, so the
// operations share these fields; the defaults are those of the library.
struct Params {
    std::string group_name, project_name, branch_name, ref = "master", filename, file_content;
    std::string repo_dir, commit_message, remote_branch, title, source_branch, target_branch = "master";
    std::string start_ref, end_ref, tag_name, key, value, token_name, note_body, issue_type;
    std::string project_id, pipeline_id, branch, author_name, author_email;
    std::int64_t group_id = 0, parent_id = 0, user_id = 0, merge_request_id = 0, issue_id = 0;
    std::int64_t timeout = 60, last_minutes = 1440;
    bool raise_error = false, overwrite = true, is_file = false;
    std::vector<std::string> labels;
};

// Lists each operation by its name only (the dashed alias would double the width of the list).
class Formatter final : public CLI::Formatter {
public:
    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_name(), sub->get_description(), column_width_);
        return out.str();
    }
    // "--overwrite,--no-overwrite" without CLI11's "{false}" note on the negated name.
    std::string make_option_name(const CLI::Option* opt, bool is_positional) const override {
        std::string name = CLI::Formatter::make_option_name(opt, is_positional);
        for (const char* note : {"{false}", "{true}"}) {
            for (auto at = name.find(note); at != std::string::npos; at = name.find(note)) {
                name.erase(at, std::string_view(note).size());
            }
        }
        return name;
    }
};

// Declares one subcommand: its options, named after the operation's parameters, and what it runs.
class Command {
public:
    Command(CLI::App& app, std::map<const CLI::App*, std::function<Outcome(CliContext&)>>& table,
            const std::string& name, const std::string& purpose, const std::string& group)
        : table_(table) {
        sub_ = app.add_subcommand(name, purpose);
        sub_->group(group);
        std::string dashed = name;
        for (auto& c : dashed) c = c == '_' ? '-' : c;
        sub_->alias(dashed);
        sub_->footer("Global options (--json, --timeout-connect, ...): see 'zorv-gitlab --help'.\n"
                     "Exit status: 0 success, 1 the operation reported a failure or found nothing, 2 usage, 3 an "
                     "error.");
    }

    Command& text(const std::string& flag, std::string& into, const std::string& help) {
        sub_->add_option(flag, into, help)->required();
        return *this;
    }
    Command& text_or(const std::string& flag, std::string& into, const std::string& help) {
        sub_->add_option(flag, into, help)->capture_default_str();
        return *this;
    }
    // An optional text: the operation gets no value unless the option is given.
    Command& maybe(const std::string& flag, std::string& into, const std::string& help) {
        given_[flag] = sub_->add_option(flag, into, help + " (default: none)");
        return *this;
    }
    Command& integer(const std::string& flag, std::int64_t& into, const std::string& help) {
        sub_->add_option(flag, into, help)->required();
        return *this;
    }
    Command& integer_or(const std::string& flag, std::int64_t& into, const std::string& help) {
        sub_->add_option(flag, into, help)->capture_default_str();
        return *this;
    }
    // A boolean as a flag with its --no- form.
    Command& flag(const std::string& name, bool& into, const std::string& help) {
        sub_->add_flag("--" + name + ",!--no-" + name, into, help + (into ? " (default: on)" : " (default: off)"));
        return *this;
    }
    Command& list(const std::string& flag, std::vector<std::string>& into, const std::string& help) {
        sub_->add_option(flag, into, help)->allow_extra_args(false);
        return *this;
    }
    void runs(std::function<Outcome(CliContext&)> operation) { table_[sub_] = std::move(operation); }

    // The value of an optional text option, or no value when it was not given.
    std::function<std::optional<std::string>()> value_of(const std::string& flag, const std::string& into) {
        const CLI::Option* option = given_.at(flag);
        return [option, &into]() -> std::optional<std::string> {
            if (option->count() == 0) return std::nullopt;
            return into;
        };
    }

private:
    std::map<const CLI::App*, std::function<Outcome(CliContext&)>>& table_;
    CLI::App* sub_ = nullptr;
    std::map<std::string, const CLI::Option*> given_;
};

constexpr const char* kGroups = "Groups and access tokens";
constexpr const char* kProjects = "Projects, branches and files";
constexpr const char* kWorkingCopies = "Working copies";
constexpr const char* kMerge = "Merge requests, tags and history";
constexpr const char* kCi = "CI/CD variables and pipelines";
constexpr const char* kIssues = "Issues";

void declare_operations(CLI::App& app, Params& p, std::map<const CLI::App*, std::function<Outcome(CliContext&)>>& t) {
    const std::string project_help = "name of the project";
    const std::string group_help = "id of the group that holds the project";

    // --- Groups and access tokens ---
    Command(app, t, "create_sub_group", "Create a subgroup under a parent group; prints true or false", kGroups)
        .text("--group-name", p.group_name, "name (and path) of the new subgroup")
        .integer("--parent-id", p.parent_id, "id of the parent group")
        .runs([&p](CliContext& c) { return result(ops::create_sub_group(c, p.group_name, p.parent_id)); });
    Command(app, t, "delete_sub_group", "Delete a subgroup found by name under a parent group", kGroups)
        .text("--group-name", p.group_name, "name of the subgroup")
        .integer("--parent-id", p.parent_id, "id of the parent group")
        .runs([&p](CliContext& c) { return result(ops::delete_sub_group(c, p.group_name, p.parent_id)); });
    Command(app, t, "get_sub_group_id", "Print the id of a subgroup found by name", kGroups)
        .text("--group-name", p.group_name, "name of the subgroup")
        .integer("--parent-id", p.parent_id, "id of the parent group")
        .flag("raise-error", p.raise_error, "a missing subgroup is an error (exit status 3)")
        .runs([&p](CliContext& c) {
            return result(ops::get_sub_group_id(c, p.group_name, p.parent_id, p.raise_error));
        });
    Command(app, t, "get_sub_group_info", "Print the record of a direct subgroup found by name", kGroups)
        .text("--group-name", p.group_name, "name of the subgroup")
        .integer("--parent-id", p.parent_id, "id of the parent group")
        .runs([&p](CliContext& c) { return result(ops::get_sub_group_info(c, p.group_name, p.parent_id)); });
    Command(app, t, "create_repo_token", "Mint a personal access token (read_api) for a user; prints the secret",
            kGroups)
        .integer("--user-id", p.user_id, "id of the user (needs an administrator's token)")
        .text("--token-name", p.token_name, "name of the new token")
        .runs([&p](CliContext& c) { return result(ops::create_repo_token(c, p.user_id, p.token_name)); });
    Command(app, t, "create_group_access_token", "Mint a group access token (owner level); prints the secret",
            kGroups)
        .integer("--group-id", p.group_id, "id of the group")
        .text("--token-name", p.token_name, "name of the new token")
        .runs([&p](CliContext& c) { return result(ops::create_group_access_token(c, p.group_id, p.token_name)); });
    Command(app, t, "get_access_token_info", "Print the record of a group's access token found by name", kGroups)
        .integer("--group-id", p.group_id, "id of the group")
        .text("--token-name", p.token_name, "name of the token")
        .runs([&p](CliContext& c) { return result(ops::get_access_token_info(c, p.group_id, p.token_name)); });

    // --- Projects, branches and files ---
    Command(app, t, "create_project", "Create an internal project and commit a README.md to master", kProjects)
        .text("--project-name", p.project_name, "name (and path) of the new project")
        .integer("--group-id", p.group_id, "id of the group to create it in")
        .runs([&p](CliContext& c) {
            ops::create_project(c, p.project_name, p.group_id);
            return zorv_cli::no_result();
        });
    Command(app, t, "get_project_info", "Print the record of a project found by name in a group", kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) { return result(ops::get_project_info(c, p.project_name, p.group_id)); });
    Command(app, t, "delete_project", "Delete a project found by name in a group", kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) {
            ops::delete_project(c, p.project_name, p.group_id);
            return zorv_cli::no_result();
        });
    Command(app, t, "get_branch_info", "Print the record of a branch", kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--branch-name", p.branch_name, "name of the branch")
        .runs([&p](CliContext& c) {
            return result(ops::get_branch_info(c, p.project_name, p.group_id, p.branch_name));
        });
    Command(app, t, "create_branch", "Create a branch from a ref unless it exists; prints the new branch",
            kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--branch-name", p.branch_name, "name of the new branch")
        .text_or("--ref", p.ref, "branch, tag or commit to start it from")
        .runs([&p](CliContext& c) {
            return result(ops::create_branch(c, p.project_name, p.group_id, p.branch_name, p.ref));
        });
    Command(app, t, "delete_branch", "Delete a branch if it exists", kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--branch-name", p.branch_name, "name of the branch")
        .runs([&p](CliContext& c) {
            ops::delete_branch(c, p.project_name, p.group_id, p.branch_name);
            return c.branch_missing() ? zorv_cli::nothing_found() : zorv_cli::no_result();
        });
    Command(app, t, "commit_file", "Commit one new file with the given text to master", kProjects)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--filename", p.filename, "path of the new file in the repository")
        .text("--file-content", p.file_content, "text of the file")
        .runs([&p](CliContext& c) {
            ops::commit_file(c, p.project_name, p.group_id, p.filename, p.file_content);
            return zorv_cli::no_result();
        });

    // --- Working copies ---
    {
        Command clone(app, t, "clone_project", "Clone a project into a local directory; prints the directory",
                      kWorkingCopies);
        clone.text("--repo-dir", p.repo_dir, "directory to clone into")
            .text("--project-name", p.project_name, project_help)
            .integer("--group-id", p.group_id, group_help)
            .flag("overwrite", p.overwrite, "clear a non-empty directory first (else it is an error)")
            .maybe("--branch", p.branch, "branch to check out");
        auto branch = clone.value_of("--branch", p.branch);
        clone.runs([&p, branch](CliContext& c) {
            return result(ops::clone_project(c, p.repo_dir, p.project_name, p.group_id, p.overwrite, branch()));
        });
    }
    {
        Command commit(app, t, "commit_project",
                       "Publish every local change of a working copy to a branch as one commit", kWorkingCopies);
        commit.text("--repo-dir", p.repo_dir, "the working copy (a clone made by clone_project)")
            .text("--commit-message", p.commit_message, "message of the commit")
            .text("--project-name", p.project_name, project_help)
            .text("--remote-branch", p.remote_branch, "branch to publish to")
            .integer("--group-id", p.group_id, group_help)
            .maybe("--author-name", p.author_name, "author of the commit")
            .maybe("--author-email", p.author_email, "author's e-mail address");
        auto name = commit.value_of("--author-name", p.author_name);
        auto email = commit.value_of("--author-email", p.author_email);
        commit.runs([&p, name, email](CliContext& c) {
            ops::commit_project(c, p.repo_dir, p.commit_message, p.project_name, p.remote_branch, p.group_id, name(),
                                email());
            return zorv_cli::no_result();
        });
    }

    // --- Merge requests, tags and history ---
    Command(app, t, "create_merge_request", "Open a merge request; prints its record", kMerge)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--title", p.title, "title of the merge request")
        .text("--source-branch", p.source_branch, "branch to merge")
        .text_or("--target-branch", p.target_branch, "branch to merge into")
        .runs([&p](CliContext& c) {
            return result(
                ops::create_merge_request(c, p.project_name, p.group_id, p.title, p.source_branch, p.target_branch));
        });
    Command(app, t, "perform_merge", "Wait for the server's merge check, then merge; prints the merged record",
            kMerge)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .integer("--merge-request-id", p.merge_request_id, "the merge request's number in the project (iid)")
        .text("--title", p.title, "message of the merge commit")
        .integer_or("--timeout", p.timeout, "seconds to wait for the merge check")
        .runs([&p](CliContext& c) {
            return result(ops::perform_merge(c, p.project_name, p.group_id, p.merge_request_id, p.title, p.timeout));
        });
    Command(app, t, "get_commits_by_range", "Print the commits between two refs (start...end)", kMerge)
        .text("--start-ref", p.start_ref, "first ref")
        .text("--end-ref", p.end_ref, "second ref")
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) {
            return result(ops::get_commits_by_range(c, p.start_ref, p.end_ref, p.project_name, p.group_id));
        });
    Command(app, t, "get_tag_list", "Print a project's tags ordered by version", kMerge)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) { return result(ops::get_tag_list(c, p.project_name, p.group_id)); });
    Command(app, t, "get_tag_info", "Print the record of a tag", kMerge)
        .text("--tag-name", p.tag_name, "name of the tag")
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) { return result(ops::get_tag_info(c, p.tag_name, p.project_name, p.group_id)); });
    Command(app, t, "tag_project", "Tag a branch unless the tag exists", kMerge)
        .text("--tag-name", p.tag_name, "name of the new tag")
        .text("--project-name", p.project_name, project_help)
        .text("--remote-branch", p.remote_branch, "branch to tag")
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) {
            ops::tag_project(c, p.tag_name, p.project_name, p.remote_branch, p.group_id);
            return zorv_cli::no_result();
        });

    // --- CI/CD ---
    Command(app, t, "get_project_variable", "Print a project's CI/CD variable", kCi)
        .text("--project-name", p.project_name, project_help)
        .text("--key", p.key, "name of the variable")
        .integer("--group-id", p.group_id, group_help)
        .runs([&p](CliContext& c) {
            return result(ops::get_project_variable(c, p.project_name, p.key, p.group_id));
        });
    Command(app, t, "set_project_variable", "Create or update a project's CI/CD variable", kCi)
        .text("--project-name", p.project_name, project_help)
        .text("--key", p.key, "name of the variable")
        .text("--value", p.value, "its value (masked when 8+ characters of a-zA-Z0-9_+=/@:.~-)")
        .integer("--group-id", p.group_id, group_help)
        .flag("is-file", p.is_file, "a file variable")
        .flag("overwrite", p.overwrite, "replace the value of an existing variable")
        .runs([&p](CliContext& c) {
            ops::set_project_variable(c, p.project_name, p.key, p.value, p.group_id, p.is_file, p.overwrite);
            return zorv_cli::no_result();
        });
    Command(app, t, "get_group_variable", "Print a group's CI/CD variable", kCi)
        .integer("--group-id", p.group_id, "id of the group")
        .text("--key", p.key, "name of the variable")
        .runs([&p](CliContext& c) { return result(ops::get_group_variable(c, p.group_id, p.key)); });
    Command(app, t, "set_group_variable", "Create or update a group's CI/CD variable", kCi)
        .integer("--group-id", p.group_id, "id of the group")
        .text("--key", p.key, "name of the variable")
        .text("--value", p.value, "its value (masked when 8+ characters of a-zA-Z0-9_+=/@:.~-)")
        .flag("is-file", p.is_file, "a file variable")
        .flag("overwrite", p.overwrite, "replace the value of an existing variable")
        .runs([&p](CliContext& c) {
            ops::set_group_variable(c, p.group_id, p.key, p.value, p.is_file, p.overwrite);
            return zorv_cli::no_result();
        });
    Command(app, t, "get_pipeline_status", "Print the pipelines of a ref updated in the last minutes", kCi)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text_or("--ref", p.ref, "branch or tag")
        .integer_or("--last-minutes", p.last_minutes, "how far back to look, in minutes")
        .runs([&p](CliContext& c) {
            return result(ops::get_pipeline_status(c, p.project_name, p.group_id, p.ref, p.last_minutes));
        });
    Command(app, t, "get_single_pipeline_status", "Print one pipeline's record", kCi)
        .text("--project-id", p.project_id, "id of the project")
        .text("--pipeline-id", p.pipeline_id, "id of the pipeline")
        .runs([&p](CliContext& c) { return result(ops::get_single_pipeline_status(c, p.project_id, p.pipeline_id)); });
    Command(app, t, "retry_single_pipeline", "Retry a pipeline's failed jobs; prints its record", kCi)
        .text("--project-id", p.project_id, "id of the project")
        .text("--pipeline-id", p.pipeline_id, "id of the pipeline")
        .runs([&p](CliContext& c) { return result(ops::retry_single_pipeline(c, p.project_id, p.pipeline_id)); });

    // --- Issues ---
    Command(app, t, "create_issue", "Open an issue; prints its record", kIssues)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .text("--title", p.title, "title of the issue")
        .text("--issue-type", p.issue_type, "issue, incident or test_case")
        .list("--labels", p.labels, "a label (repeat the option for more; default: none)")
        .runs([&p](CliContext& c) {
            return result(ops::create_issue(c, p.project_name, p.group_id, p.title, p.issue_type, p.labels));
        });
    Command(app, t, "close_issue", "Close an issue; prints its record", kIssues)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .integer("--issue-id", p.issue_id, "the issue's number in the project (iid)")
        .runs([&p](CliContext& c) { return result(ops::close_issue(c, p.project_name, p.group_id, p.issue_id)); });
    Command(app, t, "create_note", "Add a note to an issue; prints its record", kIssues)
        .text("--project-name", p.project_name, project_help)
        .integer("--group-id", p.group_id, group_help)
        .integer("--issue-id", p.issue_id, "the issue's number in the project (iid)")
        .text("--note-body", p.note_body, "text of the note")
        .runs([&p](CliContext& c) {
            return result(ops::create_note(c, p.project_name, p.group_id, p.issue_id, p.note_body));
        });
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("zorv-gitlab: automates a GitLab server (REST API v4) and git working copies of its projects.\n"
                 "The server is GITLAB_HOST (host name, https), the access token GITLAB_TOKEN.",
                 "zorv-gitlab");
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->column_width(34);
    app.footer(
        "Operations may also be written with dashes (create-branch). Run 'zorv-gitlab OPERATION --help' for its\n"
        "parameters. The global options may stand before or after the operation.\n"
        "Exit status: 0 success, 1 the operation reported a failure or found nothing, 2 usage, 3 an error.");
    app.set_version_flag("--version", ZORV_VERSION);
    app.require_subcommand(0, 1);  // none is reported below, so an unknown name reads as such
    app.fallthrough();  // global options are accepted after the operation too

    zorv_cli::GlobalOptions options;
    const zorv_git_gitlab::Settings defaults;
    double connect_s = static_cast<double>(defaults.connect_timeout.count()) / 1000.0;
    double stall_s = static_cast<double>(defaults.stall_time.count());
    double poll_s = static_cast<double>(defaults.merge_poll_interval.count()) / 1000.0;
    int max_tries = defaults.max_tries;
    app.add_flag("--json", options.json, "print the result as JSON on one line (default: indented)");
    auto* connect = app.add_option("--timeout-connect", connect_s, "seconds allowed to connect to the server")
                        ->check(CLI::PositiveNumber)
                        ->capture_default_str();
    auto* stall = app.add_option("--timeout-stall", stall_s, "seconds a transfer may stall before it is abandoned")
                      ->check(CLI::PositiveNumber)
                      ->capture_default_str();
    auto* poll = app.add_option("--poll-interval", poll_s, "seconds between perform_merge's polls of the merge check")
                     ->check(CLI::PositiveNumber)
                     ->capture_default_str();
    auto* tries = app.add_option("--max-tries", max_tries, "attempts of a GET answered 429/502/503/504 or dropped")
                      ->check(CLI::Range(1, 100))
                      ->capture_default_str();

    Params params;
    std::map<const CLI::App*, std::function<Outcome(CliContext&)>> table;
    declare_operations(app, params, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return zorv_cli::kExitUsage;
    }

    if (connect->count() > 0) options.connect_timeout_s = connect_s;
    if (stall->count() > 0) options.stall_timeout_s = stall_s;
    if (poll->count() > 0) options.poll_interval_s = poll_s;
    if (tries->count() > 0) options.max_tries = max_tries;

    if (app.get_subcommands().empty()) {
        std::fputs("zorv-gitlab: an operation is required\nRun with --help for the list of operations.\n", stderr);
        return zorv_cli::kExitUsage;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    return zorv_cli::run_operation(chosen->get_name(), options, table.at(chosen));
}

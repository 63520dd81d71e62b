// zorv-gitlab: every operation of the table (operation_table.hpp) as a subcommand, its parameters as
// options.
//
//   zorv-gitlab [--json] [--verbose] [--connect-timeout S] [--stall-timeout S] [--max-tries N] ...
//               OPERATION --parameter value ...
// (one global option per setting of the library, named after it)
#include <CLI/CLI.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "completion.hpp"
#include "operation_table.hpp"
#include "runner.hpp"

namespace {

using zorv_cli::CliContext;
using zorv_cli::Result;
using zorv_git_gitlab::Id;
namespace table = zorv_git_gitlab::table;

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

// Where an option of C++ parameter type T keeps its value: the value itself, or its text.
template <typename T>
struct Stored {
    using type = T;
};
template <>
struct Stored<std::optional<std::string>> {
    using type = std::string;
};
template <>
struct Stored<Id> {
    using type = std::string;
};

class Command {
public:
    virtual ~Command() = default;
    virtual Result run(CliContext& ctx) = 0;
    [[nodiscard]] virtual const zorv_cli::CompletionCommand& completion() const = 0;
};

// One subcommand built from a table entry: an option per parameter, named after it, with its help and
// default; running it calls the operation with the values given.
template <typename Op, std::size_t... I>
class OperationCommand final : public Command {
    using Args = typename Op::Sig::Args;

public:
    OperationCommand(CLI::App& app, const Op& op) {
        CLI::App* sub = app.add_subcommand(std::string(op.name), std::string(op.help));
        sub->group(std::string(table::group_title(op.group)));
        std::string dashed(op.name);
        for (auto& c : dashed) c = c == '_' ? '-' : c;
        sub->alias(dashed);
        sub->footer("Global options (--json, --verbose, --connect-timeout, ...): see 'zorv-gitlab --help'.\n"
                    "Exit status: 0 success, 1 the operation was refused or found nothing, 2 usage, 3 an error.");
        completion_ = {std::string(op.name), dashed, std::string(op.help), {}};
        (declare<I>(*sub, op.params[I]), ...);
        sub_ = sub;
    }

    [[nodiscard]] const CLI::App* app() const noexcept { return sub_; }
    [[nodiscard]] const zorv_cli::CompletionCommand& completion() const override { return completion_; }

    Result run(CliContext& ctx) override {
        using R = typename Op::Sig::Result;
        if constexpr (std::is_void_v<R>) {
            Op::function(ctx, value<I>()...);
            return zorv_cli::no_result();
        } else {
            return zorv_cli::result(Op::function(ctx, value<I>()...));
        }
    }

private:
    template <std::size_t K>
    void declare(CLI::App& sub, const table::Param& param) {
        using T = std::tuple_element_t<K, Args>;
        using Kind = table::Default::Kind;
        auto& into = std::get<K>(values_);
        std::string help(param.help);
        std::string name(param.name);
        for (auto& c : name) c = c == '_' ? '-' : c;
        CLI::Option* option = nullptr;
        if constexpr (std::is_same_v<T, bool>) {
            into = param.fallback.flag;
            option = sub.add_flag("--" + name + ",!--no-" + name, into,
                                  help + (into ? " (default: on)" : " (default: off)"));
            completion_.options.push_back({"--" + name, help, false, false});
            completion_.options.push_back({"--no-" + name, help + " (off)", false, false});
        } else {
            completion_.options.push_back({"--" + name, help, true, param.path});
            if (param.fallback.kind == Kind::none) help += " (default: none)";
            option = sub.add_option("--" + name, into, help);
            if constexpr (std::is_same_v<T, std::vector<std::string>>) option->allow_extra_args(false);
            switch (param.fallback.kind) {
            case Kind::required:
                option->required();
                break;
            case Kind::text:
                if constexpr (std::is_same_v<T, std::string>) into = std::string(param.fallback.text);
                option->default_str(std::string(param.fallback.text));
                break;
            case Kind::integer:
                if constexpr (std::is_arithmetic_v<T>) into = static_cast<T>(param.fallback.integer);
                option->default_str(std::to_string(param.fallback.integer));
                break;
            case Kind::flag:
            case Kind::none:
                break;
            }
        }
        options_[K] = option;
    }

    template <std::size_t K>
    std::tuple_element_t<K, Args> value() const {
        using T = std::tuple_element_t<K, Args>;
        const auto& stored = std::get<K>(values_);
        if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            if (options_[K]->count() == 0) return std::nullopt;
            return stored;
        } else if constexpr (std::is_same_v<T, Id>) {
            return Id(stored);
        } else {
            return stored;
        }
    }

    std::tuple<typename Stored<std::tuple_element_t<I, Args>>::type...> values_;
    std::array<CLI::Option*, sizeof...(I)> options_{};
    const CLI::App* sub_ = nullptr;
    zorv_cli::CompletionCommand completion_;
};

template <typename Op, std::size_t... I>
std::unique_ptr<OperationCommand<Op, I...>> command_for(CLI::App& app, const Op& op, std::index_sequence<I...>) {
    return std::make_unique<OperationCommand<Op, I...>>(app, op);
}

// Every operation of the table as a subcommand; what each runs, by its subcommand.
std::map<const CLI::App*, std::unique_ptr<Command>> declare_operations(CLI::App& app) {
    std::map<const CLI::App*, std::unique_ptr<Command>> commands;
    table::for_each_operation([&](const auto& op) {
        auto command = command_for(app, op, std::make_index_sequence<std::tuple_size_v<decltype(op.params)>>());
        const CLI::App* sub = command->app();
        commands.emplace(sub, std::move(command));
    });
    return commands;
}

// The spellings the options had before they were named after the settings, still accepted.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kFormerOptionNames{{
    {"connect_timeout", "--timeout-connect"}, {"stall_timeout", "--timeout-stall"},
    {"merge_poll_interval", "--poll-interval"}}};

// A global option per setting (kSettings): --name with dashes, its help and the library's default.
struct Limit {
    const zorv_git_gitlab::SettingDescriptor* setting;
    CLI::Option* option = nullptr;
    double value = 0;
};

std::vector<Limit> declare_settings(CLI::App& app) {
    namespace zg = zorv_git_gitlab;
    std::vector<Limit> limits;
    limits.reserve(zg::kSettings.size());
    const zg::Settings defaults;
    for (const auto& setting : zg::kSettings) {
        Limit& limit = limits.emplace_back(Limit{&setting, nullptr, zg::setting_value(defaults, setting)});
        std::string names = "--" + std::string(setting.name);
        for (auto& c : names) c = c == '_' ? '-' : c;
        for (const auto& [name, former] : kFormerOptionNames) {
            if (name == setting.name) names += "," + std::string(former);
        }
        limit.option = app.add_option(names, limit.value, std::string(setting.help))->capture_default_str();
        if (zg::kind_of(setting) == zg::SettingKind::count) {
            limit.option->check(CLI::Range(1.0, 1e6));
        } else if (zg::kind_of(setting) == zg::SettingKind::rate) {
            limit.option->check(CLI::NonNegativeNumber);
        } else {
            limit.option->check(CLI::PositiveNumber);
        }
    }
    return limits;
}

// What the completion scripts offer: the global options as declared on `app` (every spelling), and
// every operation with its options.
zorv_cli::CompletionModel completion_model(const CLI::App& app,
                                           const std::map<const CLI::App*, std::unique_ptr<Command>>& commands) {
    zorv_cli::CompletionModel model;
    for (const CLI::Option* option : app.get_options()) {
        for (const auto& name : option->get_lnames()) {
            model.globals.push_back({"--" + name, option->get_description(), option->get_expected_min() > 0, false});
        }
    }
    table::for_each_operation([&](const auto& op) {
        for (const auto& [sub, command] : commands) {
            if (command->completion().name == op.name) model.commands.push_back(command->completion());
        }
    });
    return model;
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
        "parameters. The global options may stand before or after the operation. With --json, standard output\n"
        "holds only the result; the operation's own lines go to standard error.\n"
        "'zorv-gitlab completion bash|zsh|fish' prints a completion script for that shell.\n"
        "Exit status: 0 success, 1 the operation was refused or found nothing, 2 usage, 3 an error.");
    app.set_version_flag("--version", ZORV_VERSION);
    app.require_subcommand(0, 1);  // none is reported below, so an unknown name reads as such
    app.fallthrough();  // global options are accepted after the operation too

    zorv_cli::GlobalOptions options;
    app.add_flag("--json", options.json, "print the result as JSON on one line (default: indented)");
    app.add_flag("--verbose", options.verbose, "show a DEBUG line per request on standard error");
    auto limits = declare_settings(app);

    const auto commands = declare_operations(app);
    // Not an operation: listed in the footer rather than among them.
    CLI::App* completion = app.add_subcommand(std::string(zorv_cli::kCompletionCommand),
                                              "print a completion script for the shell");
    completion->group("");
    std::string shell;
    completion->add_option("shell", shell, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember(std::vector<std::string>(zorv_cli::kCompletionShells.begin(),
                                                       zorv_cli::kCompletionShells.end())));

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

    for (const auto& limit : limits) {
        if (limit.option->count() > 0) options.limits.emplace_back(limit.setting, limit.value);
    }

    if (app.get_subcommands().empty()) {
        std::fputs("zorv-gitlab: an operation is required\nRun with --help for the list of operations.\n", stderr);
        return zorv_cli::kExitUsage;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    if (chosen == completion) {
        std::fputs(zorv_cli::completion_script(shell, completion_model(app, commands)).c_str(), stdout);
        return zorv_cli::kExitOk;
    }
    Command& command = *commands.at(chosen);
    return zorv_cli::run_operation(chosen->get_name(), options, [&command](CliContext& c) { return command.run(c); });
}

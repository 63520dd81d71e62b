// Writes, from the operation table, what the faces would otherwise repeat by hand:
//   faces CPP_CLASS CPP_DEFAULTS PYI
// - CPP_CLASS: GitlabGit's class-level operations (included inside the class in git.hpp),
// - CPP_DEFAULTS: the defaults of the trailing parameters of operations.hpp's functions,
// - PYI: the Python type stubs of zorv_git_gitlab.git.
// Run at build time; a file is rewritten only when its text changes, so nothing rebuilds needlessly.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "operation_table.hpp"

namespace {

namespace z = zorv_git_gitlab;
namespace table = z::table;
using Kind = table::Default::Kind;

template <typename T>
constexpr bool is_optional_text = std::is_same_v<T, std::optional<std::string>>;
template <typename T>
constexpr bool is_texts = std::is_same_v<T, std::vector<std::string>>;

// The C++ spelling of a type as the operations declare it.
template <typename T>
std::string cpp_type() {
    using U = std::remove_cvref_t<T>;
    std::string base;
    if constexpr (std::is_void_v<U>) base = "void";
    else if constexpr (std::is_same_v<U, bool>) base = "bool";
    else if constexpr (std::is_same_v<U, double>) base = "double";
    else if constexpr (std::is_same_v<U, std::int64_t>) base = "std::int64_t";
    else if constexpr (std::is_same_v<U, std::string>) base = "std::string";
    else if constexpr (is_optional_text<U>) base = "std::optional<std::string>";
    else if constexpr (is_texts<U>) base = "std::vector<std::string>";
    else if constexpr (std::is_same_v<U, std::optional<std::int64_t>>) base = "std::optional<std::int64_t>";
    else if constexpr (std::is_same_v<U, std::optional<z::Json>>) base = "std::optional<Json>";
    else if constexpr (std::is_same_v<U, z::Id>) base = "Id";
    else static_assert(sizeof(U) == 0, "a type the generator cannot spell");
    if constexpr (std::is_reference_v<T>) {
        return (std::is_const_v<std::remove_reference_t<T>> ? "const " : "") + base + "&";
    }
    return base;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

enum class Language { cpp, python };

// A default as the language writes it; "" for none.
template <typename T>
std::string default_text(const table::Default& fallback, Language language) {
    const bool cpp = language == Language::cpp;
    switch (fallback.kind) {
    case Kind::required:
        return "";
    case Kind::text:
        return quoted(fallback.text);
    case Kind::integer:
        return std::to_string(fallback.integer);
    case Kind::flag:
        return fallback.flag ? (cpp ? "true" : "True") : (cpp ? "false" : "False");
    case Kind::none:
        return !cpp ? "None" : is_optional_text<T> ? "std::nullopt" : "{}";
    }
    return "";
}

template <typename T>
std::string stub_type(const table::Param& param) {
    if constexpr (std::is_same_v<T, std::string>) return param.path ? "str | os.PathLike[str]" : "str";
    else if constexpr (std::is_same_v<T, bool>) return "bool";
    else if constexpr (std::is_same_v<T, double>) return "float";
    else if constexpr (is_optional_text<T>) return "str | None";
    else if constexpr (is_texts<T>) return "list[str] | None";
    else if constexpr (std::is_same_v<T, std::int64_t>) return param.name.ends_with("_id") ? "_Id" : "int";
    else return "_Id";  // Id: an integral value or text of digits
}

template <typename R>
std::string stub_result(table::Result result) {
    if (result == table::Result::working_copy) return "Repo | str";
    if (result == table::Result::records) return "_Records | None";
    if constexpr (std::is_void_v<R>) return "None";
    else if constexpr (std::is_same_v<R, bool>) return "bool";
    else if constexpr (std::is_same_v<R, std::optional<std::int64_t>>) return "int | None";
    else if constexpr (std::is_same_v<R, std::optional<std::string>>) return "str | None";
    else if constexpr (std::is_same_v<R, std::optional<z::Json>>) return "_Record | None";
    else return "str";
}

// "name(a, b, c)" broken after commas so that no line passes 120 columns; continuation lines align
// after the opening parenthesis.
std::string wrapped(const std::string& head, const std::vector<std::string>& items, const std::string& tail,
                    std::size_t indent) {
    std::string out = head + "(";
    const std::string pad(indent + head.size() + 1, ' ');
    std::size_t column = indent + out.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string piece = items[i] + (i + 1 < items.size() ? "," : "");
        if (i > 0 && column + 1 + piece.size() + (i + 1 == items.size() ? tail.size() : 0) > 118) {
            out += "\n" + pad;
            column = pad.size();
        } else if (i > 0) {
            out += " ";
            ++column;
        }
        out += piece;
        column += piece.size();
    }
    return out + ")" + tail;
}

struct Outputs {
    std::ostringstream cpp_class, cpp_defaults, pyi;
};

template <typename Op, std::size_t... I>
void describe(Outputs& out, const Op& op, std::index_sequence<I...>) {
    using Sig = typename Op::Sig;
    using Declared = typename Sig::Declared;
    using Args = typename Sig::Args;
    const std::string name(op.name);
    const std::string result = cpp_type<typename Sig::Result>();

    // C++: the parameters with their defaults, and the call forwarded to ops::.
    std::vector<std::string> declared, passed, defaulted;
    bool has_default = false;
    const auto cpp_param = [&](const table::Param& p, const std::string& type, const std::string& fallback) {
        const std::string text = type + " " + std::string(p.name);
        declared.push_back(text + (fallback.empty() ? "" : " = " + fallback));
        passed.push_back(std::string(p.name));
        defaulted.push_back(declared.back());
        has_default = has_default || !fallback.empty();
    };
    (cpp_param(op.params[I], cpp_type<std::tuple_element_t<I, Declared>>(),
               default_text<std::tuple_element_t<I, Args>>(op.params[I].fallback, Language::cpp)),
     ...);
    out.cpp_class << "    // " << op.help << ".\n"
                  << wrapped("    static " + result + " " + name, declared, " {", 0) << "\n"
                  << wrapped("        return ops::" + name, [&] {
                         std::vector<std::string> args{"default_context()"};
                         args.insert(args.end(), passed.begin(), passed.end());
                         return args;
                     }(), ";", 0)
                  << "\n    }\n";
    if (has_default) {
        std::vector<std::string> params{"Context& ctx"};
        params.insert(params.end(), defaulted.begin(), defaulted.end());
        out.cpp_defaults << wrapped(result + " " + name, params, ";", 0) << "\n";
    }

    // Python: the stub of the class method.
    std::vector<std::string> stub{"cls"};
    const auto stub_param = [&](const table::Param& p, const std::string& type, const std::string& fallback) {
        stub.push_back(std::string(p.name) + ": " + type + (fallback.empty() ? "" : " = " + fallback));
    };
    (stub_param(op.params[I], stub_type<std::tuple_element_t<I, Args>>(op.params[I]),
                default_text<std::tuple_element_t<I, Args>>(op.params[I].fallback, Language::python)),
     ...);
    if (op.traits.extra_keywords) stub.emplace_back("**kwargs: Any");
    out.pyi << "    @classmethod\n"
            << wrapped("    def " + name, stub,
                       " -> " + stub_result<typename Sig::Result>(op.traits.result) + ": ...", 0)
            << "\n";
}

void write_if_changed(const std::string& path, const std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream current;
    current << in.rdbuf();
    if (in && current.str() == text) return;
    in.close();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

constexpr std::string_view kGenerated = "Generated at build time from src/zorv_git_gitlab/operation_table.hpp; do not edit.";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: faces CPP_CLASS CPP_DEFAULTS PYI\n";
        return 2;
    }
    Outputs out;
    out.pyi << "# Type stubs of zorv_git_gitlab.git: the class methods of GitlabGit with their parameters, defaults\n"
               "# and results. Ids (groups, users, projects, pipelines, issues, merge requests) are accepted as any\n"
               "# integral value or as text of digits.\n# "
            << kGenerated
            << "\nimport os\nfrom typing import Any, ClassVar, SupportsIndex\n\nfrom git.repo.base import Repo\n\n"
               "from zorv_git import Git\n"
               "from zorv_git_gitlab.errors import ProjectNotFoundError as ProjectNotFoundError\n\n"
               "_Id = SupportsIndex | str\n_Record = dict[str, Any]\n_Records = list[dict[str, Any]]\n\n"
               "def token_variable(host: str) -> str: ...\n\n"
               "class GitlabGit(Git):\n"
               "    PIPELINE_END_STATUS: ClassVar[list[str]]\n    api_url: ClassVar[str]\n"
               "    gitlab_token: ClassVar[str | None]\n    show_progress: ClassVar[bool]\n";
    for (const auto& setting : z::kSettings) {
        out.pyi << "    # " << setting.help << "\n    " << setting.name << ": ClassVar["
                << (z::kind_of(setting) == z::SettingKind::seconds || z::kind_of(setting) == z::SettingKind::rate ? "float"
                                                                                                         : "int") << "]\n";
    }
    out.cpp_class << "    // " << kGenerated << "\n";
    out.cpp_defaults << "// The defaults of the operations' trailing parameters (operations.hpp).\n// " << kGenerated
                     << "\n#pragma once\n\nnamespace zorv_git_gitlab::ops {\n\n";

    using enum table::Group;
    for (const auto group : {groups, projects, working_copies, merge, ci, issues}) {
        const std::string title(table::group_title(group));
        out.cpp_class << "\n    // --- " << title << " " << std::string(95 - title.size(), '-') << "\n";
        out.pyi << "\n    # " << title << "\n";
        table::for_each_operation([&](const auto& op) {
            if (op.group == group) describe(out, op, std::make_index_sequence<std::tuple_size_v<decltype(op.params)>>());
        });
    }
    out.cpp_defaults << "\n}  // namespace zorv_git_gitlab::ops\n";

    try {
        write_if_changed(argv[1], out.cpp_class.str());
        write_if_changed(argv[2], out.cpp_defaults.str());
        write_if_changed(argv[3], out.pyi.str());
    } catch (const std::exception& e) {
        std::cerr << "faces: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

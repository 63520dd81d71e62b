// The native part of the Python module zorv_git_gitlab.git: every operation of the table
// (operation_table.hpp) as a function of the class object it was called on and the operation's
// arguments, run with the GIL released; and the table itself, from which git.py builds GitlabGit's
// class methods.
#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "convert.hpp"
#include "operation_table.hpp"
#include "py_context.hpp"
#include "zorv_git_gitlab/credentials.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace py = pybind11;
namespace table = zorv_git_gitlab::table;
using zorv_binding::CallContext;
using zorv_binding::ClassPacings;
using zorv_binding::OwnInnerCalls;
using zorv_binding::to_python;
using zorv_git_gitlab::Id;
using zorv_git_gitlab::Json;

namespace {

[[noreturn]] void wrong_type(std::string_view operation, std::string_view parameter, std::string_view expected,
                             py::handle value) {
    throw py::type_error(std::string(operation) + "() argument " + std::string(parameter) + ": expected " +
                         std::string(expected) + ", got " + py::repr(value).cast<std::string>());
}

// An id or count: any integral value (int, numpy integers, anything with __index__; bool excluded)
// or text of digits.
std::int64_t integer_of(py::handle value, std::string_view operation, std::string_view parameter) {
    if (!PyBool_Check(value.ptr())) {
        if (PyIndex_Check(value.ptr())) {
            const long long number = PyLong_AsLongLong(py::reinterpret_steal<py::object>(
                                                           PyNumber_Index(value.ptr())).ptr());
            if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
            return number;
        }
        if (PyUnicode_Check(value.ptr())) {
            std::string text = value.cast<std::string>();
            const auto first = text.find_first_not_of(" \t\r\n");
            const auto last = text.find_last_not_of(" \t\r\n");
            if (first != std::string::npos) text = text.substr(first, last - first + 1);
            const std::size_t digits_from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
            const bool digits = text.size() > digits_from &&
                                text.find_first_not_of("0123456789", digits_from) == std::string::npos;
            if (digits && text.size() - digits_from <= 18) return std::stoll(text);
        }
    }
    wrong_type(operation, parameter, "an integer or a text of digits", value);
}

// One argument as the C++ parameter type T.
template <typename T>
T argument(py::handle value, std::string_view operation, const table::Param& param) {
    const std::string_view parameter = param.name;
    if constexpr (std::is_same_v<T, std::string>) {
        if (param.path && !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
            // os.PathLike: its file-system path (str or bytes), as os.fspath gives it.
            const auto path = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
            if (!path) {
                PyErr_Clear();
                wrong_type(operation, parameter, "str or os.PathLike", value);
            }
            return path.cast<std::string>();
        }
    }
    if constexpr (std::is_same_v<T, std::int64_t>) {
        return integer_of(value, operation, parameter);
    } else if constexpr (std::is_same_v<T, bool>) {
        const int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw py::error_already_set();
        return truth != 0;
    } else if constexpr (std::is_same_v<T, double>) {
        const double number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) wrong_type(operation, parameter, "a number", value);
        return number;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
            wrong_type(operation, parameter, "str", value);
        }
        return value.cast<std::string>();
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        if (value.is_none()) return std::nullopt;
        return argument<std::string>(value, operation, param);
    } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
        std::vector<std::string> items;
        if (value.is_none()) return items;
        for (const auto item : value) items.push_back(argument<std::string>(item, operation, param));
        return items;
    } else {
        static_assert(std::is_same_v<T, Id>);
        if (PyUnicode_Check(value.ptr())) return Id(value.cast<std::string>());
        return Id(integer_of(value, operation, parameter));
    }
}

// An operation's result as Python sees it.
template <typename R>
py::object result_of(const R& value) {
    if constexpr (std::is_same_v<R, std::optional<Json>>) {
        return to_python(value);
    } else if constexpr (std::is_same_v<R, std::optional<std::int64_t>> ||
                         std::is_same_v<R, std::optional<std::string>>) {
        return value ? py::cast(*value) : py::none();
    } else {
        return py::cast(value);
    }
}

template <std::size_t>
using Arg = py::object;

// Binds one operation: `_core.NAME(cls, arg, ...)` with the parameter names of the table.
template <typename Op, std::size_t... I>
void define_operation(py::module_& m, const Op& op, const std::shared_ptr<const OwnInnerCalls>& own,
                      const std::shared_ptr<ClassPacings>& pacings, std::index_sequence<I...>) {
    using Args = typename Op::Sig::Args;
    using Result = typename Op::Sig::Result;
    m.def(
        std::string(op.name).c_str(),
        [op, own, pacings](py::handle cls, Arg<I>... values) -> py::object {
            Args args{argument<std::tuple_element_t<I, Args>>(values, op.name, op.params[I])...};
            CallContext ctx(cls, *own, *pacings);
            const auto call = [&] { return std::apply([&](auto&... a) { return Op::function(ctx, a...); }, args); };
            if constexpr (std::is_void_v<Result>) {
                py::gil_scoped_release release;
                call();
                return py::none();
            } else {
                std::optional<Result> result;
                {
                    py::gil_scoped_release release;
                    result.emplace(call());
                }
                return result_of(*result);
            }
        },
        py::arg("cls"), py::arg(op.params[I].name.data())..., py::doc(op.help.data()));
}

// A parameter's default as Python shows it; none when the parameter is required.
py::tuple python_default(const table::Default& fallback) {
    using Kind = table::Default::Kind;
    switch (fallback.kind) {
    case Kind::required:
        return py::make_tuple();
    case Kind::text:
        return py::make_tuple(py::str(fallback.text.data(), fallback.text.size()));
    case Kind::integer:
        return py::make_tuple(py::int_(fallback.integer));
    case Kind::flag:
        return py::make_tuple(py::bool_(fallback.flag));
    case Kind::none:
        return py::make_tuple(py::none());
    }
    return py::make_tuple();
}

// The table as git.py reads it: (name, help, extra_keywords, working_copy,
// ((parameter, annotation, (default,) or ()), ...)); working_copy: the result is a working copy's directory.
template <typename Op, std::size_t... I>
py::tuple describe(const Op& op, std::index_sequence<I...>) {
    using Args = typename Op::Sig::Args;
    const auto parameter = [](const table::Param& p, std::string_view annotation) {
        const std::string_view shown = p.annotation ? *p.annotation : annotation;
        return py::make_tuple(py::str(p.name.data(), p.name.size()), py::str(shown.data(), shown.size()),
                              python_default(p.fallback));
    };
    return py::make_tuple(
        py::str(op.name.data(), op.name.size()), py::str(op.help.data(), op.help.size()),
        py::bool_(op.traits.extra_keywords), py::bool_(op.traits.result == table::Result::working_copy),
        py::make_tuple(parameter(op.params[I], table::annotation_of<std::tuple_element_t<I, Args>>())...));
}

void translate(std::exception_ptr error) {
    namespace z = zorv_git_gitlab;
    const auto raise = [](const char* name, const std::exception& e) {
        const py::object type = py::module_::import("zorv_git_gitlab.errors").attr(name);
        PyErr_SetString(type.ptr(), e.what());
    };
    try {
        if (error) std::rethrow_exception(error);
    } catch (const z::ConnectError& e) {
        raise("ConnectError", e);
    } catch (const z::TlsError& e) {
        raise("TlsError", e);
    } catch (const z::TimeoutError& e) {
        raise("RequestTimeoutError", e);
    } catch (const z::ConnectionDroppedError& e) {
        raise("ConnectionDroppedError", e);
    } catch (const z::ResponseTooLargeError& e) {
        raise("ResponseTooLargeError", e);
    } catch (const z::RateLimitedError& e) {
        const py::object type = py::module_::import("zorv_git_gitlab.errors").attr("RateLimitedError");
        py::object error = type(e.what());
        error.attr("retry_after") = e.retry_after() ? py::object(py::int_(*e.retry_after())) : py::none();
        error.attr("limit_name") = e.limit_name().empty() ? py::none() : py::object(py::str(e.limit_name()));
        PyErr_SetObject(type.ptr(), error.ptr());
    } catch (const z::TransportError& e) {
        raise("TransportError", e);
    } catch (const z::JsonDecodeError& e) {
        raise("JsonDecodeError", e);
    } catch (const z::MissingFieldError& e) {
        raise("MissingFieldError", e);
    } catch (const z::ProjectNotFoundError& e) {
        raise("ProjectNotFoundError", e);
    } catch (const z::SubgroupNotFoundError& e) {
        raise("SubgroupNotFoundError", e);
    } catch (const z::DirectoryNotEmptyError& e) {
        raise("DirectoryNotEmptyError", e);
    } catch (const z::MergeTimeoutError& e) {
        raise("MergeTimeoutError", e);
    } catch (const z::UnpublishableChangeError& e) {
        raise("UnpublishableChangeError", e);
    } catch (const z::GitError& e) {
        raise("GitError", e);
    } catch (const z::Error& e) {
        raise("GitlabError", e);
    } catch (const std::filesystem::filesystem_error& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    }
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "Native operations of zorv_git_gitlab.git.GitlabGit";
    py::register_exception_translator(&translate);

    auto own = std::make_shared<OwnInnerCalls>();
    auto pacings = std::make_shared<ClassPacings>();
    m.def(
        "adopt_inner_calls", [own](py::handle cls) { own->adopt(cls); }, py::arg("cls"),
        "Notes the inner calls of `cls` (GitlabGit) as the library's own: a class holding others redefines them.");

    m.def("token_variable", &zorv_git_gitlab::token_variable, py::arg("host"),
          "The variable that holds the token for the server at `host` (\"host\" or \"host:port\"): GITLAB_TOKEN_ "
          "and the host in upper case, every character but letters and digits as _.");

    py::list operations;
    table::for_each_operation([&](const auto& op) {
        constexpr auto indexes = std::make_index_sequence<std::tuple_size_v<decltype(op.params)>>();
        define_operation(m, op, own, pacings, indexes);
        operations.append(describe(op, indexes));
    });
    m.attr("OPERATIONS") = py::tuple(operations);

    // The settings the class attributes set: (name, default, help), the default in the attribute's
    // unit (seconds and rates as float, counts and bytes as int).
    py::list settings;
    const zorv_git_gitlab::Settings defaults;
    for (const auto& setting : zorv_git_gitlab::kSettings) {
        const double value = zorv_git_gitlab::setting_value(defaults, setting);
        const auto kind = zorv_git_gitlab::kind_of(setting);
        const py::object shown = kind == zorv_git_gitlab::SettingKind::seconds || kind == zorv_git_gitlab::SettingKind::rate
                                     ? py::object(py::float_(value))
                                     : py::object(py::int_(static_cast<long long>(value)));
        settings.append(py::make_tuple(py::str(setting.name.data(), setting.name.size()), shown,
                                       py::str(setting.help.data(), setting.help.size())));
    }
    m.attr("SETTINGS") = py::tuple(settings);
}

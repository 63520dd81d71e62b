// The native part of the Python module zorv_git_gitlab.git: each operation of the C++ core, called
// with the context git.py builds from the class object, with the GIL released while it works.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>

#include "convert.hpp"
#include "py_context.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/operations.hpp"

namespace py = pybind11;
namespace ops = zorv_git_gitlab::ops;
using zorv_binding::CallContext;
using zorv_binding::to_python;
using zorv_git_gitlab::Id;
using zorv_git_gitlab::Json;

namespace {

// Runs an operation without the GIL and converts its result back with the GIL held.
template <typename F>
py::object run(const py::tuple& state, F&& operation) {
    CallContext ctx(state);
    using Result = decltype(operation(ctx));
    if constexpr (std::is_void_v<Result>) {
        {
            py::gil_scoped_release release;
            operation(ctx);
        }
        return py::none();
    } else {
        std::optional<Result> result;
        {
            py::gil_scoped_release release;
            result.emplace(operation(ctx));
        }
        if constexpr (std::is_same_v<Result, std::optional<std::int64_t>> ||
                      std::is_same_v<Result, std::optional<std::string>>) {
            return *result ? py::cast(**result) : py::none();
        } else if constexpr (std::is_same_v<Result, std::optional<Json>>) {
            return to_python(*result);
        } else {
            return py::cast(*result);
        }
    }
}

// A project or pipeline id as the caller gave it: a number or text.
Id id_of(const py::handle& value) {
    if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) return Id(value.cast<std::int64_t>());
    return Id(py::str(value).cast<std::string>());
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
    using S = const std::string&;
    using I = std::int64_t;
    using T = const py::tuple&;

    m.def("create_sub_group", [](T c, S name, I parent) { return run(c, [&](auto& x) { return ops::create_sub_group(x, name, parent); }); });
    m.def("delete_sub_group", [](T c, S name, I parent) { return run(c, [&](auto& x) { return ops::delete_sub_group(x, name, parent); }); });
    m.def("get_sub_group_id", [](T c, S name, I parent, bool raise_error) {
        return run(c, [&](auto& x) { return ops::get_sub_group_id(x, name, parent, raise_error); });
    });
    m.def("get_sub_group_info", [](T c, S name, I parent) { return run(c, [&](auto& x) { return ops::get_sub_group_info(x, name, parent); }); });
    m.def("create_repo_token", [](T c, I user, S name) { return run(c, [&](auto& x) { return ops::create_repo_token(x, user, name); }); });
    m.def("create_group_access_token", [](T c, I group, S name) {
        return run(c, [&](auto& x) { return ops::create_group_access_token(x, group, name); });
    });
    m.def("get_access_token_info", [](T c, I group, S name) {
        return run(c, [&](auto& x) { return ops::get_access_token_info(x, group, name); });
    });
    m.def("create_project", [](T c, S project, I group) { return run(c, [&](auto& x) { ops::create_project(x, project, group); }); });
    m.def("get_project_info", [](T c, S project, I group) { return run(c, [&](auto& x) { return ops::get_project_info(x, project, group); }); });
    m.def("delete_project", [](T c, S project, I group) { return run(c, [&](auto& x) { ops::delete_project(x, project, group); }); });
    m.def("get_branch_info", [](T c, S project, I group, S branch) {
        return run(c, [&](auto& x) { return ops::get_branch_info(x, project, group, branch); });
    });
    m.def("create_branch", [](T c, S project, I group, S branch, S ref) {
        return run(c, [&](auto& x) { return ops::create_branch(x, project, group, branch, ref); });
    });
    m.def("delete_branch", [](T c, S project, I group, S branch) {
        return run(c, [&](auto& x) { ops::delete_branch(x, project, group, branch); });
    });
    m.def("commit_file", [](T c, S project, I group, S filename, S content) {
        return run(c, [&](auto& x) { ops::commit_file(x, project, group, filename, content); });
    });
    m.def("clone_project", [](T c, S repo_dir, S project, I group, bool overwrite, const std::optional<std::string>& branch) {
        return run(c, [&](auto& x) { return ops::clone_project(x, repo_dir, project, group, overwrite, branch); });
    });
    m.def("commit_project", [](T c, S repo_dir, S message, S project, S branch, I group,
                               const std::optional<std::string>& author_name, const std::optional<std::string>& author_email) {
        return run(c, [&](auto& x) { ops::commit_project(x, repo_dir, message, project, branch, group, author_name, author_email); });
    });
    m.def("create_merge_request", [](T c, S project, I group, S title, S source, S target) {
        return run(c, [&](auto& x) { return ops::create_merge_request(x, project, group, title, source, target); });
    });
    m.def("perform_merge", [](T c, S project, I group, I merge_request_id, S title, double timeout) {
        return run(c, [&](auto& x) { return ops::perform_merge(x, project, group, merge_request_id, title, timeout); });
    });
    m.def("get_commits_by_range", [](T c, S start, S end, S project, I group) {
        return run(c, [&](auto& x) { return ops::get_commits_by_range(x, start, end, project, group); });
    });
    m.def("get_tag_list", [](T c, S project, I group) { return run(c, [&](auto& x) { return ops::get_tag_list(x, project, group); }); });
    m.def("get_tag_info", [](T c, S tag, S project, I group) {
        return run(c, [&](auto& x) { return ops::get_tag_info(x, tag, project, group); });
    });
    m.def("tag_project", [](T c, S tag, S project, S branch, I group) {
        return run(c, [&](auto& x) { ops::tag_project(x, tag, project, branch, group); });
    });
    m.def("get_project_variable", [](T c, S project, S key, I group) {
        return run(c, [&](auto& x) { return ops::get_project_variable(x, project, key, group); });
    });
    m.def("set_project_variable", [](T c, S project, S key, S value, I group, bool is_file, bool overwrite) {
        return run(c, [&](auto& x) { ops::set_project_variable(x, project, key, value, group, is_file, overwrite); });
    });
    m.def("get_group_variable", [](T c, I group, S key) { return run(c, [&](auto& x) { return ops::get_group_variable(x, group, key); }); });
    m.def("set_group_variable", [](T c, I group, S key, S value, bool is_file, bool overwrite) {
        return run(c, [&](auto& x) { ops::set_group_variable(x, group, key, value, is_file, overwrite); });
    });
    m.def("get_pipeline_status", [](T c, S project, I group, S ref, I last_minutes) {
        return run(c, [&](auto& x) { return ops::get_pipeline_status(x, project, group, ref, last_minutes); });
    });
    m.def("get_single_pipeline_status", [](T c, py::handle project_id, py::handle pipeline_id) {
        const Id project = id_of(project_id), pipeline = id_of(pipeline_id);
        return run(c, [&](auto& x) { return ops::get_single_pipeline_status(x, project, pipeline); });
    });
    m.def("retry_single_pipeline", [](T c, py::handle project_id, py::handle pipeline_id) {
        const Id project = id_of(project_id), pipeline = id_of(pipeline_id);
        return run(c, [&](auto& x) { return ops::retry_single_pipeline(x, project, pipeline); });
    });
    m.def("create_issue", [](T c, S project, I group, S title, S issue_type, const std::vector<std::string>& labels) {
        return run(c, [&](auto& x) { return ops::create_issue(x, project, group, title, issue_type, labels); });
    });
    m.def("close_issue", [](T c, S project, I group, I issue_id) {
        return run(c, [&](auto& x) { return ops::close_issue(x, project, group, issue_id); });
    });
    m.def("create_note", [](T c, S project, I group, I issue_id, S body) {
        return run(c, [&](auto& x) { return ops::create_note(x, project, group, issue_id, body); });
    });
}

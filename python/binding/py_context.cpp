#include "py_context.hpp"

#include <stdexcept>

#include "convert.hpp"

namespace py = pybind11;
using zorv_git_gitlab::InnerCall;
using zorv_git_gitlab::Json;
using zorv_git_gitlab::LogLevel;

namespace zorv_binding {
namespace {

int python_level(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return 10;
    case LogLevel::info:
        return 20;
    case LogLevel::warning:
        return 30;
    case LogLevel::error:
        return 40;
    }
    return 20;
}

// The logging module when the program has imported it; none otherwise (then nobody configured it,
// and records below WARNING reach no one).
py::object imported_logging() {
    PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "logging");
    return module ? py::reinterpret_borrow<py::object>(module) : py::object();
}

}  // namespace

void OwnInnerCalls::adopt(py::handle cls) {
    for (std::size_t i = 0; i < kInnerCalls; ++i) {
        const auto name = zorv_git_gitlab::kInnerCallNames[i];
        names_[i] = py::reinterpret_steal<py::object>(
            PyUnicode_InternFromString(std::string(name).c_str()));
        PyObject* raw = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), names_[i].ptr());
        if (!raw) throw std::logic_error("the class has no operation " + std::string(name));
        raw_[i] = py::reinterpret_borrow<py::object>(raw);
    }
    token_name_ = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("gitlab_token"));
    token_owner_ = py::reinterpret_borrow<py::object>(cls);
    PyObject* token = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), token_name_.ptr());
    if (!token) throw std::logic_error("the class has no gitlab_token");
    environment_token_ = py::reinterpret_borrow<py::object>(token);
}

bool OwnInnerCalls::token_from_environment(py::handle cls) const {
    if (!PyType_Check(cls.ptr()) || !token_name_) return false;
    // The class along the MRO that holds gitlab_token: GitlabGit itself, still with the object it was
    // given at import (a subclass that sets its own, even to the same text or None, does not qualify).
    PyObject* mro = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        PyObject* held = PyDict_GetItemWithError(base->tp_dict, token_name_.ptr());
        if (!held) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        return reinterpret_cast<PyObject*>(base) == token_owner_.ptr() && held == environment_token_.ptr();
    }
    return false;
}

std::bitset<kInnerCalls> OwnInnerCalls::redefined_by(py::handle cls) const {
    std::bitset<kInnerCalls> redefined;
    if (!PyType_Check(cls.ptr()) || !names_[0]) return redefined.set();  // cannot tell: go through Python
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    for (std::size_t i = 0; i < kInnerCalls; ++i) {
        if (_PyType_Lookup(type, names_[i].ptr()) != raw_[i].ptr()) redefined.set(i);
    }
    return redefined;
}

std::shared_ptr<zorv_git_gitlab::Pacing> ClassPacings::of(py::handle cls) {
    if (const auto found = entries_.find(cls.ptr()); found != entries_.end()) return found->second.pacing;
    auto pacing = std::make_shared<zorv_git_gitlab::Pacing>();
    // The callback runs when the class is being freed (never after), so its address is not reused yet.
    PyObject* key = cls.ptr();
    const py::cpp_function forget([weak = weak_from_this(), key](py::handle) {
        if (const auto self = weak.lock()) self->entries_.erase(key);
    });
    PyObject* ref = PyWeakref_NewRef(key, forget.ptr());
    if (!ref) {  // an object without weak references: its calls pace on their own
        PyErr_Clear();
        return pacing;
    }
    // Made before the insertion: creating it may run the collector, and with it other callbacks.
    entries_.emplace(key, Entry{py::reinterpret_steal<py::object>(ref), pacing});
    return pacing;
}

CallContext::CallContext(py::handle cls, const OwnInnerCalls& own, ClassPacings& pacings)
    : cls_(py::reinterpret_borrow<py::object>(cls)),
      redefined_(own.redefined_by(cls)),
      pacing_(pacings.of(cls)),
      token_from_environment_(own.token_from_environment(cls)) {
    config_.api_url = py::str(cls_.attr("api_url")).cast<std::string>();
    if (const py::object token = cls_.attr("gitlab_token"); !token.is_none()) {
        config_.token = py::str(token).cast<std::string>();
    }
    for (const auto& setting : zorv_git_gitlab::kSettings) {
        const py::object given = py::getattr(cls_, std::string(setting.name).c_str(), py::none());
        if (given.is_none()) continue;  // a limit the class does not set keeps the library's default
        const double value = PyFloat_AsDouble(given.ptr());
        if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        try {
            zorv_git_gitlab::set_setting(config_.settings, setting, value);
        } catch (const std::invalid_argument& e) {
            throw py::value_error(e.what());
        }
    }
    if (const py::object shown = py::getattr(cls_, "show_progress", py::none()); !shown.is_none()) {
        const int truth = PyObject_IsTrue(shown.ptr());
        if (truth < 0) throw py::error_already_set();
        show_progress_ = truth != 0;
    }
    if (const py::object logging = imported_logging()) {
        const py::object root = logging.attr("root");
        debug_enabled_ = root.attr("isEnabledFor")(10).cast<bool>();
        info_enabled_ = root.attr("isEnabledFor")(20).cast<bool>();
    }
}

bool CallContext::log_enabled(LogLevel level) const {
    if (level == LogLevel::debug) return debug_enabled_;
    if (level == LogLevel::info) return info_enabled_;
    return true;
}

void CallContext::print_line(std::string_view line) {
    py::gil_scoped_acquire gil;
    std::string whole(line);
    whole += '\n';
    PyObject* text = PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), "replace");
    if (!text) throw py::error_already_set();
    py::module_::import("sys").attr("stdout").attr("write")(py::reinterpret_steal<py::object>(text));
}

void CallContext::log(LogLevel level, std::string_view message) {
    py::gil_scoped_acquire gil;
    py::module_::import("logging").attr("getLogger")().attr("log")(python_level(level), py::str(std::string(message)));
}

template <typename... Args>
std::optional<Json> CallContext::call_record(InnerCall call, Args&&... args) {
    py::gil_scoped_acquire gil;
    const std::string name(zorv_git_gitlab::kInnerCallNames[static_cast<std::size_t>(call)]);
    py::object result = cls_.attr(name.c_str())(std::forward<Args>(args)...);
    if (result.is_none()) return std::nullopt;
    return from_python(result);
}

std::optional<Json> CallContext::get_project_info(const std::string& project_name, std::int64_t group_id) {
    if (!redefines(InnerCall::get_project_info)) return Context::get_project_info(project_name, group_id);
    return call_record(InnerCall::get_project_info, project_name, group_id);
}

std::optional<Json> CallContext::get_sub_group_info(const std::string& group_name, std::int64_t parent_id) {
    if (!redefines(InnerCall::get_sub_group_info)) return Context::get_sub_group_info(group_name, parent_id);
    return call_record(InnerCall::get_sub_group_info, group_name, parent_id);
}

std::optional<Json> CallContext::get_branch_info(const std::string& project_name, std::int64_t group_id,
                                                 const std::string& branch_name) {
    if (!redefines(InnerCall::get_branch_info)) return Context::get_branch_info(project_name, group_id, branch_name);
    return call_record(InnerCall::get_branch_info, project_name, group_id, branch_name);
}

std::optional<Json> CallContext::get_tag_info(const std::string& tag_name, const std::string& project_name,
                                              std::int64_t group_id) {
    if (!redefines(InnerCall::get_tag_info)) return Context::get_tag_info(tag_name, project_name, group_id);
    return call_record(InnerCall::get_tag_info, tag_name, project_name, group_id);
}

void CallContext::commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                              const std::string& file_content) {
    if (!redefines(InnerCall::commit_file)) return Context::commit_file(project_name, group_id, filename, file_content);
    call_record(InnerCall::commit_file, project_name, group_id, filename, file_content);
}

bool CallContext::clean_workspace(const std::string& path, bool destroy) {
    if (!redefines(InnerCall::clean_workspace)) return Context::clean_workspace(path, destroy);
    py::gil_scoped_acquire gil;
    return py::bool_(cls_.attr("clean_workspace")(path, py::arg("destroy") = destroy)).cast<bool>();
}

}  // namespace zorv_binding

#include "py_context.hpp"

#include <chrono>
#include <cmath>

#include "convert.hpp"

namespace py = pybind11;
using zorv_git_gitlab::Json;

namespace zorv_binding {
namespace {

std::chrono::milliseconds milliseconds_of(py::handle seconds) {
    return std::chrono::milliseconds(std::llround(seconds.cast<double>() * 1000.0));
}

}  // namespace

CallContext::CallContext(const py::tuple& state) : cls_(state[0]) {
    config_.api_url = py::str(state[1]).cast<std::string>();
    if (!state[2].is_none()) config_.token = py::str(state[2]).cast<std::string>();
    auto& settings = config_.settings;
    settings.connect_timeout = milliseconds_of(state[3]);
    settings.stall_time = std::chrono::seconds(std::max<long long>(1, std::llround(state[4].cast<double>())));
    settings.max_tries = std::max(1, state[5].cast<int>());
    settings.retry_total_time = milliseconds_of(state[6]);
    settings.merge_poll_interval = milliseconds_of(state[7]);
    settings.max_response_bytes = state[8].cast<std::size_t>();
    for (const auto index : state[9]) overridden_.set(index.cast<std::size_t>());
}

void CallContext::print_line(std::string_view line) {
    py::gil_scoped_acquire gil;
    std::string whole(line);
    whole += '\n';
    PyObject* text = PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), "replace");
    if (!text) throw py::error_already_set();
    py::module_::import("sys").attr("stdout").attr("write")(py::reinterpret_steal<py::object>(text));
}

void CallContext::log(zorv_git_gitlab::LogLevel level, std::string_view message) {
    py::gil_scoped_acquire gil;
    int python_level = 20;
    switch (level) {
    case zorv_git_gitlab::LogLevel::debug:
        python_level = 10;
        break;
    case zorv_git_gitlab::LogLevel::info:
        python_level = 20;
        break;
    case zorv_git_gitlab::LogLevel::warning:
        python_level = 30;
        break;
    case zorv_git_gitlab::LogLevel::error:
        python_level = 40;
        break;
    }
    py::module_::import("logging").attr("getLogger")().attr("log")(python_level, py::str(std::string(message)));
}

template <typename... Args>
std::optional<Json> CallContext::call_record(const char* name, Args&&... args) {
    py::gil_scoped_acquire gil;
    py::object result = cls_.attr(name)(std::forward<Args>(args)...);
    if (result.is_none()) return std::nullopt;
    return from_python(result);
}

std::optional<Json> CallContext::get_project_info(const std::string& project_name, std::int64_t group_id) {
    if (!redefined(Inner::get_project_info)) return Context::get_project_info(project_name, group_id);
    return call_record("get_project_info", project_name, group_id);
}

std::optional<Json> CallContext::get_sub_group_info(const std::string& group_name, std::int64_t parent_id) {
    if (!redefined(Inner::get_sub_group_info)) return Context::get_sub_group_info(group_name, parent_id);
    return call_record("get_sub_group_info", group_name, parent_id);
}

std::optional<Json> CallContext::get_branch_info(const std::string& project_name, std::int64_t group_id,
                                               const std::string& branch_name) {
    if (!redefined(Inner::get_branch_info)) return Context::get_branch_info(project_name, group_id, branch_name);
    return call_record("get_branch_info", project_name, group_id, branch_name);
}

std::optional<Json> CallContext::get_tag_info(const std::string& tag_name, const std::string& project_name,
                                            std::int64_t group_id) {
    if (!redefined(Inner::get_tag_info)) return Context::get_tag_info(tag_name, project_name, group_id);
    return call_record("get_tag_info", tag_name, project_name, group_id);
}

void CallContext::commit_file(const std::string& project_name, std::int64_t group_id, const std::string& filename,
                            const std::string& file_content) {
    if (!redefined(Inner::commit_file)) return Context::commit_file(project_name, group_id, filename, file_content);
    call_record("commit_file", project_name, group_id, filename, file_content);
}

bool CallContext::clean_workspace(const std::string& path, bool destroy) {
    if (!redefined(Inner::clean_workspace)) return Context::clean_workspace(path, destroy);
    py::gil_scoped_acquire gil;
    return py::bool_(cls_.attr("clean_workspace")(path, py::arg("destroy") = destroy)).cast<bool>();
}

}  // namespace zorv_binding

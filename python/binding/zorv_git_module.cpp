// The native part of the Python package zorv_git.
#include <pybind11/pybind11.h>

#include <filesystem>

#include "zorv_git/git.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_core, m) {
    m.doc() = "Native operations of zorv_git.Git";
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const std::filesystem::filesystem_error& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        }
    });
    m.def("clean_workspace", &zorv_git::Git::clean_workspace, py::arg("path"), py::arg("destroy") = false,
          py::call_guard<py::gil_scoped_release>());
}

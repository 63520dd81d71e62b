// Conversion between the library's JSON records and Python objects (dict, list, str, int, float, bool, None).
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "zorv_git_gitlab/json.hpp"

namespace zorv_binding {

pybind11::object to_python(const zorv_git_gitlab::Json& value);
pybind11::object to_python(const std::optional<zorv_git_gitlab::Json>& value);
zorv_git_gitlab::Json from_python(pybind11::handle value);

}  // namespace zorv_binding

#include "convert.hpp"

#include <string>

namespace py = pybind11;
using zorv_git_gitlab::Json;

namespace zorv_binding {

py::object to_python(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
        return py::none();
    case Json::value_t::boolean:
        return py::bool_(value.get<bool>());
    case Json::value_t::number_integer:
        return py::int_(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
        return py::int_(value.get<std::uint64_t>());
    case Json::value_t::number_float:
        return py::float_(value.get<double>());
    case Json::value_t::string: {
        const auto& text = value.get_ref<const std::string&>();
        // Server text that is not valid UTF-8 is decoded with replacement characters rather than failing.
        PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (!str) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(str);
    }
    case Json::value_t::binary:
        return py::bytes(std::string(value.get_binary().begin(), value.get_binary().end()));
    case Json::value_t::array: {
        py::list list(value.size());
        std::size_t i = 0;
        for (const auto& item : value) list[i++] = to_python(item);
        return list;
    }
    case Json::value_t::object: {
        py::dict dict;
        for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
        return dict;
    }
    }
    return py::none();
}

py::object to_python(const std::optional<Json>& value) { return value ? to_python(*value) : py::none(); }

Json from_python(py::handle value) {
    if (value.is_none()) return nullptr;
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    if (py::isinstance<py::int_>(value)) return value.cast<std::int64_t>();
    if (py::isinstance<py::float_>(value)) return value.cast<double>();
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (py::isinstance<py::dict>(value)) {
        Json object = Json::object();
        for (const auto& [key, item] : value.cast<py::dict>()) object[py::str(key).cast<std::string>()] = from_python(item);
        return object;
    }
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        Json array = Json::array();
        for (const auto& item : value) array.push_back(from_python(item));
        return array;
    }
    // Anything else is represented by its text, as json.dumps(default=str) would.
    return py::str(value).cast<std::string>();
}

}  // namespace zorv_binding

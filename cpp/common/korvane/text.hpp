// Text of the analysed project compared and joined as Python text.  A Python str may
// hold what has no UTF-8 form (a lone surrogate, "caf\udce9", from an escape in a
// string literal or an undecodable file name), so user text is never converted to
// std::string: a failed conversion would reach Python as RuntimeError.
#pragma once

#include <korvane/common.hpp>

namespace korvane {

// Whether `value` is a str equal to the ASCII text `ascii`; anything else is not.
inline bool is_text(py::handle value, const char* ascii) {
    return PyUnicode_Check(value.ptr()) &&
           PyUnicode_CompareWithASCIIString(value.ptr(), ascii) == 0;
}

// Whether `key` is a str ending with `suffix`; anything else is not.
inline bool ends_with(py::handle key, const char* suffix) {
    if (!PyUnicode_Check(key.ptr())) return false;
    return truthy(key.attr("endswith")(suffix));
}

// `a + b` of two str objects.
inline py::str concat(py::handle a, py::handle b) {
    PyObject* joined = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

// `separator.join(parts)`.
inline py::str join(const char* separator, py::handle parts) {
    PyObject* joined = PyUnicode_Join(py::str(separator).ptr(), parts.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

}  // namespace korvane

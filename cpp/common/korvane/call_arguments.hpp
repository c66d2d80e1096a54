// Where a node stands among the arguments of a call.
#pragma once

#include <korvane/common.hpp>

namespace korvane {

// The call that `node` is an argument of: a positional argument (`f(node)`) or the
// value of a keyword (`f(name=node)`).  A null object for any other place, the callee
// of a call (`node(...)`) included.
inline py::object call_of_argument(py::handle node) {
    static py::object& call_class = keep(import_attr("astroid", "Call"));
    static py::object& keyword_class = keep(import_attr("astroid", "Keyword"));
    py::object parent = getattr_or_null(node, KORVANE_NAME("parent"));
    if (!parent) return py::object();
    if (korvane::isinstance(parent, keyword_class)) {
        py::object value = parent.attr(KORVANE_NAME("value"));
        if (value.ptr() != node.ptr()) return py::object();
        parent = getattr_or_null(parent, KORVANE_NAME("parent"));
        if (!parent) return py::object();
    }
    if (!korvane::isinstance(parent, call_class)) return py::object();
    py::object func = parent.attr(KORVANE_NAME("func"));
    if (func.ptr() == node.ptr()) return py::object();
    return parent;
}

}  // namespace korvane

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

// Whether a field call is an argument of another field call (the base field of an
// ArrayField): part of that declaration, not a declaration of its own.  Each checker
// module asks its own memoized `is_model_field`.
inline bool is_field_argument(py::handle node, bool (*is_model_field)(py::handle)) {
    py::object outer = call_of_argument(node);
    return outer && is_model_field(outer);
}

}  // namespace korvane

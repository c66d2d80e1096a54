// Module colspecs: checks and fixes of Django model field declarations.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::colspecs {

namespace py = pybind11;

// The sibling `helpers` module, imported when this module loads.
py::object& helpers();
// This module itself: the checker and the fix factory reach the predicates and
// fixes as its attributes, so that a replaced attribute takes effect.
py::object& self_module();

// `helpers.<name>`, looked up at the call.
inline py::object helper(const py::str& name) { return helpers().attr(name); }

// The answers kept while the checker walks one module (see WalkMemo).
WalkMemo& walk_memo();

// `helpers.<name>(node)` for the inference-heavy questions, kept per node while a
// module is walked.
inline py::object ask_helper(const py::str& name, py::handle node) {
    return walk_memo().ask(name, node, [&] { return helper(name)(node); });
}

// `mapping.get(key)`: None when the key is absent.
inline py::object get_item(py::handle mapping, const py::str& key) {
    return mapping.attr(KORVANE_NAME("get"))(key);
}

// `a == b` by the interpreter's equality; errors propagate.
inline bool equals(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(r));
}

// Whether a field call is an argument of another field call (the base field of an
// ArrayField): part of that declaration, not a declaration of its own.
bool is_field_argument(py::handle call);

void register_codes(py::module_& m);
void register_predicates(py::module_& m);
void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace korvane::colspecs

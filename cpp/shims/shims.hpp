// Module shims: astroid inference transforms for Django and the settings-read builder.
#pragma once

#include <korvane/common.hpp>
#include <korvane/module.hpp>

namespace korvane::shims {

namespace py = pybind11;

// The module's handle and logger, and the sibling `helpers` it also offers as its
// attribute `helpers`.  Module-level names (`safe_infer`, `helpers`, `QuerySetNode`,
// `os`, the transform functions) are read from the handle at each call, as a Python
// module reads its globals, so that a patched name takes effect.
struct State : korvane::ModuleState {
    py::object helpers;
};
State& state();

// A module-level name of shims, read at the call.
inline py::object global(const py::str& name) { return state().module.attr(name); }


// pylint's safe_infer, as bound in shims at the call.
inline py::object safe_infer(py::handle node) {
    return global(KORVANE_NAME("safe_infer"))(node);
}

// The same, with the inference context of the inference that asks.
inline py::object safe_infer_in(py::handle node, py::handle context) {
    return global(KORVANE_NAME("safe_infer"))(node, py::arg("context") = context);
}

// A Django predicate of helpers (`is_model`, ...), looked up on helpers at the call.
inline py::object helpers_test(const py::str& name, py::handle value) {
    return global(KORVANE_NAME("helpers")).attr(name)(value);
}

// True for None and astroid's Uninferable: an inference that gave nothing to use.
inline bool is_nothing(py::handle value) {
    return value.is_none() || value.is(KORVANE_IMPORTED("astroid.util", "Uninferable"));
}

void register_queryset_node(py::module_& m);
void register_django_transforms(py::module_& m);
void register_list_call_shim(py::module_& m);
void register_settings_transforms(py::module_& m);
// Replaces astroid's builder step that adds the members which attribute assignments
// make (member_assignments.cpp).
void register_member_assignments();

}  // namespace korvane::shims

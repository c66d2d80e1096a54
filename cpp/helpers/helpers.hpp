// Module helpers: the registration entry points of its parts and the few
// facilities they share.
#pragma once

#include <korvane/common.hpp>
#include <korvane/module.hpp>

namespace korvane::helpers {

namespace py = pybind11;

// The module's handle and logger, and the exception class the value reduction raises.
struct State : korvane::ModuleState {
    py::object NodeValueUndefinable;
};
State& state();

void register_predicates(py::module_& m);
void register_utilities(py::module_& m);
void register_values(py::module_& m);
void register_fix_registry(py::module_& m);
void register_module_paths(py::module_& m);
void register_token_view(py::module_& m);

// The placeholders of a token view (`parse_non_code`): fills `extra_line_map` and
// puts a placeholder call into the tree for every blank line and whole-line comment.
void add_placeholders(py::handle atok);
// Imports what `add_placeholders` looks up, when the module loads.
void prepare_placeholders();

// Sorts a scope's body by line, a stable sort: nodes of one line keep their order.
void sort_body_by_line(py::handle scope);

// pylint's `safe_infer`: the single inferred value of a node, or None.
inline py::object safe_infer(py::handle node) {
    return KORVANE_IMPORTED("pylint.checkers.utils", "safe_infer")(node);
}

}  // namespace korvane::helpers

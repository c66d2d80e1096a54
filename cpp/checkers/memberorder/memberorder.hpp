// Module memberorder: order of model members and naming of model classes.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::memberorder {

namespace py = pybind11;

struct State : korvane::ModuleState {
    py::object helpers;  // korvane.staticanalysis.helpers, imported when the module loads
    WalkMemo walk_memo;  // the answers kept while the checker walks one module
};
State& state();

// `helpers.<name>`, looked up at the call.
inline py::object helper(const py::str& name) { return state().helpers.attr(name); }

void register_prefixes(py::module_& m);
void register_checker(py::module_& m);

}  // namespace korvane::memberorder

// Migration checks: shared declarations of the migrations translation units.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/text.hpp>
#include <korvane/walk_memo.hpp>

namespace migrations {

namespace py = pybind11;

// This module and its sibling `helpers`, kept from module load.
py::module_& self_module();
py::module_& helpers();

// The answers kept while the checker walks one module (see WalkMemo).
korvane::WalkMemo& walk_memo();

// Whether the module holding the node is a migration module: a class defined at its
// top level derives from Django's Migration.  Asked once per module during a walk;
// never raises an ordinary error (the answer is then false).
bool in_migration_module(py::handle node);

// None when the call is no RunPython operation of a migration module, False when it
// names reverse code, True when it lacks it.
py::object is_missing_reverse(py::handle node);

void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace migrations

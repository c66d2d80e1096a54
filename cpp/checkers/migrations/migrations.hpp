// Migration checks: shared declarations of the migrations translation units.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>
#include <korvane/text.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::migrations {

struct State : korvane::ModuleState {
    py::object helpers;           // korvane.staticanalysis.helpers
    korvane::WalkMemo walk_memo;  // the answers kept while the checker walks one module
};
State& state();

// Whether the module holding the node is a migration module: a class defined at its
// top level derives from Django's Migration.  Asked once per module during a walk;
// never raises an ordinary error (the answer is then false).
bool in_migration_module(py::handle node);

// None when the call is no RunPython operation of a migration module, False when it
// names reverse code, True when it lacks it.
py::object is_missing_reverse(py::handle node);

void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace korvane::migrations

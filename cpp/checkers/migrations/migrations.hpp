// Migration checks: shared declarations of the migrations translation units.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/text.hpp>

namespace migrations {

namespace py = pybind11;

// This module and its sibling `helpers`, kept from module load.
py::module_& self_module();
py::module_& helpers();

// None when the call is no RunPython operation of a migration module, False when it
// names reverse code, True when it lacks it.
py::object is_missing_reverse(py::handle node);

void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace migrations

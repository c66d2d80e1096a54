// Module memberorder: order of model members and naming of model classes.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::memberorder {

namespace py = pybind11;

// The sibling `helpers` module, imported when this module loads.
py::object& helpers();
inline py::object helper(const py::str& name) { return helpers().attr(name); }

void register_prefixes(py::module_& m);
void register_checker(py::module_& m);

}  // namespace korvane::memberorder

// Module admin: placement of Django admin classes.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>

namespace korvane::admin {

namespace py = pybind11;

py::object& helpers();

void register_checker(py::module_& m);

}  // namespace korvane::admin

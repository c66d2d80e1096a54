// Module admin: placement of Django admin classes.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>

namespace korvane::admin {

namespace py = pybind11;

struct State : korvane::ModuleState {
    py::object helpers;  // korvane.staticanalysis.helpers, imported when the module loads
};
State& state();

void register_checker(py::module_& m);

}  // namespace korvane::admin

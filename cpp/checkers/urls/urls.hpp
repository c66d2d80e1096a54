// URL configuration checks: shared declarations of the urls translation units.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>
#include <korvane/text.hpp>

namespace korvane::urls {

struct State : korvane::ModuleState {
    py::object helpers;  // korvane.staticanalysis.helpers
};
State& state();

bool is_urls_module(py::handle module_node);
// None unless the callee is written `reverse_lazy`; then whether the call runs only
// when a function or lambda body runs (where `reverse` serves).
py::object is_misusing_reverse_lazy(py::handle call_node);

void register_checks(py::module_& m);
void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace korvane::urls

// Module shims: imports its libraries and helpers, defines QuerySetNode, the Django
// inference transforms and the settings-read builder, has astroid's builder add the
// members that attribute assignments make only within their own module, then
// registers the Django transforms on astroid's process-wide manager.
#include "shims.hpp"

#include <korvane/pylint_import.hpp>

namespace korvane::shims {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::shims

PYBIND11_MODULE(shims, m) {
    using namespace korvane::shims;
    State& s = state();
    korvane::bind_module(s, m);

    m.attr("os") = py::module_::import("os");
    py::object astroid = py::module_::import("astroid");
    m.attr("astroid") = astroid;
    korvane::import_pylint();
    m.attr("safe_infer") = korvane::import_attr("pylint.checkers.utils", "safe_infer");
    s.helpers = korvane::offer_sibling(m, "helpers");

    register_queryset_node(m);
    register_list_call_shim(m);
    register_django_transforms(m);
    register_settings_transforms(m);
    register_member_assignments();

    m.attr("register_transforms")(astroid.attr("MANAGER"));
}

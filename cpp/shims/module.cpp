// Module shims: imports its libraries and helpers, defines QuerySetNode, the Django
// inference transforms and the settings-read builder, then registers the Django
// transforms on astroid's process-wide manager.
#include "shims.hpp"

#include <korvane/pylint_import.hpp>

namespace korvane {
namespace shims {

static py::module_* module_ = nullptr;

py::module_& module() { return *module_; }

}  // namespace shims
}  // namespace korvane

namespace py = pybind11;

PYBIND11_MODULE(shims, m) {
    namespace ks = korvane::shims;
    ks::module_ = new py::module_(m);  // kept for the life of the process

    m.attr("os") = py::module_::import("os");
    py::object astroid = py::module_::import("astroid");
    m.attr("astroid") = astroid;
    korvane::import_pylint();
    m.attr("safe_infer") = korvane::import_attr("pylint.checkers.utils", "safe_infer");
    m.attr("helpers") = py::module_::import("korvane.staticanalysis.helpers");

    ks::register_queryset_node(m);
    ks::register_list_call_shim(m);
    ks::register_django_transforms(m);
    ks::register_settings_transforms(m);

    m.attr("register_transforms")(astroid.attr("MANAGER"));
}

// Module memberorder: entry point.
#include "memberorder.hpp"

namespace korvane::memberorder {

namespace {
py::object* helpers_ = nullptr;
}

py::object& helpers() { return *helpers_; }

}  // namespace korvane::memberorder

PYBIND11_MODULE(memberorder, m) {
    using namespace korvane::memberorder;
    m.doc() = "Checks of the member order of Django models and of model class names.";
    korvane::memberorder::helpers_ =
        &korvane::keep(py::module_::import("korvane.staticanalysis.helpers"));
    m.attr("logger") = korvane::module_logger(m);
    m.attr("STANDARD_MEMBERORDER") = py::make_tuple("Meta", "__str__", "save", "get_absolute_url");
    py::dict ns;
    for (const char* code : {"C3000", "C3002", "C3003"}) ns[code] = py::str(code);
    korvane::make_class(m, "Codes", py::tuple(), ns);
    register_prefixes(m);
    register_checker(m);
}

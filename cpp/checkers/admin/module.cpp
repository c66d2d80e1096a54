// Module admin: entry point.
#include "admin.hpp"

namespace korvane::admin {

namespace {
py::object* helpers_ = nullptr;
}

py::object& helpers() { return *helpers_; }

}  // namespace korvane::admin

PYBIND11_MODULE(admin, m) {
    using namespace korvane::admin;
    m.doc() = "Check that Django admin classes live in admin modules.";
    korvane::admin::helpers_ = &korvane::keep(py::module_::import("korvane.staticanalysis.helpers"));
    m.attr("logger") = korvane::module_logger(m);
    py::dict ns;
    ns["C5000"] = py::str("C5000");
    korvane::make_class(m, "Codes", py::tuple(), ns);
    register_checker(m);
}

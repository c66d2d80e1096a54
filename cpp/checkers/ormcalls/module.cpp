// Module ormcalls: QuerySet-use checks and their fixes.
#include "ormcalls.hpp"

namespace ormcalls {

static py::module_* module_ = nullptr;
static py::module_* helpers_ = nullptr;

py::module_& self_module() { return *module_; }
py::module_& helpers() { return *helpers_; }

}  // namespace ormcalls

namespace py = pybind11;

PYBIND11_MODULE(ormcalls, m) {
    ormcalls::module_ = new py::module_(m);
    ormcalls::helpers_ = new py::module_(py::module_::import("korvane.staticanalysis.helpers"));
    m.attr("helpers") = *ormcalls::helpers_;
    m.attr("logger") = korvane::module_logger(m);
    ormcalls::register_predicates(m);
    ormcalls::register_checker(m);
    ormcalls::register_fixes(m);
}

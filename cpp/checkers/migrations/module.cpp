// Module migrations: checks of migration modules and the reverse-code fix.
#include "migrations.hpp"

namespace migrations {

static py::module_* module_ = nullptr;
static py::module_* helpers_ = nullptr;

py::module_& self_module() { return *module_; }
py::module_& helpers() { return *helpers_; }

}  // namespace migrations

namespace py = pybind11;

PYBIND11_MODULE(migrations, m) {
    migrations::module_ = new py::module_(m);
    migrations::helpers_ = new py::module_(py::module_::import("korvane.staticanalysis.helpers"));
    m.attr("helpers") = *migrations::helpers_;
    m.attr("logger") = korvane::module_logger(m);
    migrations::register_checker(m);
    migrations::register_fixes(m);
}

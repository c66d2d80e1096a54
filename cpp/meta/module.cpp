// Module meta: project discovery (configuration, code style, manage file, settings
// module and values, file selection).
#include "lazy.hpp"
#include "meta.hpp"

PYBIND11_MODULE(meta, m) {
    using namespace korvane::meta;
    namespace py = pybind11;
    State& s = state();
    s.module = m;
    s.helpers = py::module_::import("korvane.staticanalysis.helpers");
    s.shims = py::module_::import("korvane.staticanalysis.shims");
    s.logger = korvane::module_logger(m);
    m.attr(KORVANE_NAME("logger")) = s.logger;
    register_lazy(m);
    register_config(m);
    register_files(m);
    register_manage(m);
    register_settings(m);
}

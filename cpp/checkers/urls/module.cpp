// Module urls: URL configuration checks, lazy-reverse misuse and its fix.
#include "urls.hpp"

namespace urls {

static py::module_* module_ = nullptr;
static py::module_* helpers_ = nullptr;

py::module_& self_module() { return *module_; }
py::module_& helpers() { return *helpers_; }

}  // namespace urls

namespace py = pybind11;

PYBIND11_MODULE(urls, m) {
    urls::module_ = new py::module_(m);
    urls::helpers_ = new py::module_(py::module_::import("korvane.staticanalysis.helpers"));
    m.attr("helpers") = *urls::helpers_;
    m.attr("logger") = korvane::module_logger(m);
    // Django's route conversion decides the converters of a URL route.
    (void)KORVANE_IMPORTED("django.urls.resolvers", "_route_to_regex");
    (void)KORVANE_IMPORTED("django.urls.resolvers", "ImproperlyConfigured");
    urls::register_checks(m);
    urls::register_checker(m);
    urls::register_fixes(m);
}

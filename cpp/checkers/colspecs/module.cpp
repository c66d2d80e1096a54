// Module colspecs: entry point.
#include "colspecs.hpp"

namespace korvane::colspecs {

namespace {
py::object* helpers_ = nullptr;
py::object* self_ = nullptr;
}  // namespace

py::object& helpers() { return *helpers_; }
py::object& self_module() { return *self_; }

void register_codes(py::module_& m) {
    py::dict ns;
    for (const char* code :
         {"C2000", "C2001", "C2002", "C2003", "C2004", "C2005", "C2006", "C2008", "C2011"})
        ns[code] = py::str(code);
    make_class(m, "Codes", py::tuple(), ns);
}

}  // namespace korvane::colspecs

PYBIND11_MODULE(colspecs, m) {
    using namespace korvane::colspecs;
    m.doc() = "Checks of Django model field declarations, with their fixes.";
    korvane::colspecs::helpers_ =
        &korvane::keep(py::module_::import("korvane.staticanalysis.helpers"));
    korvane::colspecs::self_ = &korvane::keep(py::reinterpret_borrow<py::object>(m));
    m.attr("logger") = korvane::module_logger(m);
    m.attr("MAX_CHARFIELD_LENGTH") = 512;
    register_codes(m);
    register_predicates(m);
    register_checker(m);
    register_fixes(m);
}

// Module colspecs: entry point.
#include "colspecs.hpp"

namespace korvane::colspecs {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::colspecs

PYBIND11_MODULE(colspecs, m) {
    using namespace korvane::colspecs;
    m.doc() = "Checks of Django model field declarations, with their fixes.";
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::import_sibling("helpers");
    register_null_reliance(m);
    register_predicates(m);
    register_checker(m);
    register_fixes(m);
}

// Module transformer: applies every fix to a source text, and fixes a project's files
// in place.
#include "transformer.hpp"

namespace korvane::transformer {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::transformer

PYBIND11_MODULE(transformer, m) {
    using namespace korvane::transformer;
    m.doc() = "The code transformer: every fix applied to a text, and a project fixed in place.";
    State& s = state();
    korvane::bind_module(s, m);
    s.checker = korvane::import_sibling("checker");
    s.diff = korvane::import_sibling("diff");
    s.helpers = korvane::import_sibling("helpers");
    s.suggest = korvane::import_sibling("suggest");
    s.meta = korvane::import_sibling("meta");
    s.migrations = korvane::import_sibling("checkers.migrations");
    s.colspecs = korvane::import_sibling("checkers.colspecs");
    s.ormcalls = korvane::import_sibling("checkers.ormcalls");
    s.urls = korvane::import_sibling("checkers.urls");
    s.settings = korvane::import_sibling("checkers.settings");
    s.default_noise = pybind11::list();
    register_transform_code(m);
    register_project_fixer(m);
    register_project(m);
}

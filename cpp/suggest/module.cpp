// Module suggest: turns the host's finding comments into review comments that carry
// the fixed code as a suggestion block.
#include "suggest.hpp"

namespace korvane::suggest {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::suggest

PYBIND11_MODULE(suggest, m) {
    using namespace korvane::suggest;
    m.doc() = "Fix suggestions: review comments with the fixed code as a suggestion block.";
    State& s = state();
    korvane::bind_module(s, m);
    // Load order: the fixable-code sets, the tree helpers and project discovery, then
    // the checker modules whose fixes the suggestions run.
    s.constants = korvane::import_sibling("constants");
    s.helpers = korvane::import_sibling("helpers");
    s.meta = korvane::import_sibling("meta");
    s.templates = korvane::import_sibling("checkers.templates");
    s.colspecs = korvane::import_sibling("checkers.colspecs");
    s.settings = korvane::import_sibling("checkers.settings");
    s.migrations = korvane::import_sibling("checkers.migrations");
    s.ormcalls = korvane::import_sibling("checkers.ormcalls");
    s.urls = korvane::import_sibling("checkers.urls");
    register_render(m);
    register_tree_record(m);
    register_kept_render(m);
    register_edited_text(m);
    register_format(m);
    register_dispatch(m);
    register_python_lines(m);
    register_html_lines(m);
    register_driver(m);
}

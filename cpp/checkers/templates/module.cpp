// Module checkers.templates: the HTML template checker for hard-coded URLs and static
// paths, and the rewriter that turns static paths into the static-files template tag.
#include "templates.hpp"

namespace korvane::templates {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::templates

PYBIND11_MODULE(templates, m) {
    using namespace korvane::templates;
    m.doc() = "Template checks: hard-coded URLs and static-file paths in HTML templates, "
              "and the static-tag rewriter.";
    State& s = state();
    korvane::bind_module(s, m);
    register_checker(m);
    register_rewriter(m);
    register_comments(m);
}

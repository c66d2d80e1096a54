// Module checker: the lint driver.  Builds the extended pylint linter and its
// reporter, registers the checker plug-ins, runs the template and Python passes over
// a change set, and lints single source texts.
#include "checker.hpp"

namespace korvane::checker {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::checker

PYBIND11_MODULE(checker, m) {
    using namespace korvane::checker;
    m.doc() = "The lint driver: linter, reporter, plug-in registry, analysis road and "
              "single-text linting.";
    State& s = state();
    korvane::bind_module(s, m);
    register_imports(m);
    s.dependencies = korvane::offer_sibling(m, "dependencies");
    s.wordings = korvane::offer_sibling(m, "wordings");
    s.meta = korvane::offer_sibling(m, "meta");
    s.render = korvane::offer_sibling(m, "render");
    s.helpers = korvane::offer_sibling(m, "helpers");
    register_progress(m);
    register_tables(m);
    register_file_item(m);
    register_workers(m);
    register_fix_pass(m);
    register_worker_processes(m);
    register_linter(m);
    register_bad_files(m);
    register_code_linter(m);
    register_road(m);
    register_reporter(m);
    register_create_linter(m);
    register_check_names(m);
}

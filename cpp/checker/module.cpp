// Module checker: the lint driver.  Builds the extended pylint linter and its
// reporter, registers the checker plug-ins, runs the template and Python passes over
// a change set, and lints single source texts.
#include "checker.hpp"

namespace korvane::checker {

State& state() {
    static State* s = new State();  // leaked on purpose: outlives the interpreter
    return *s;
}

}  // namespace korvane::checker

PYBIND11_MODULE(checker, m) {
    using namespace korvane::checker;
    m.doc() = "The lint driver: linter, reporter, plug-in registry, analysis road and "
              "single-text linting.";
    state().module = m;
    register_imports(m);
    register_tables(m);
    register_file_item(m);
    register_workers(m);
    register_linter(m);
    register_bad_files(m);
    register_code_linter(m);
    register_road(m);
    register_reporter(m);
    register_create_linter(m);
    register_check_names(m);
}

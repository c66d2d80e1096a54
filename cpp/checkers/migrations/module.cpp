// Module migrations: checks of migration modules and the reverse-code fix.
#include "migrations.hpp"

namespace korvane::migrations {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::migrations

PYBIND11_MODULE(migrations, m) {
    using namespace korvane::migrations;
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::offer_sibling(m, "helpers");
    register_checker(m);
    register_fixes(m);
}

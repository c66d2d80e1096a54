// Module ormcalls: QuerySet-use checks and their fixes.
#include "ormcalls.hpp"

namespace korvane::ormcalls {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::ormcalls

PYBIND11_MODULE(ormcalls, m) {
    using namespace korvane::ormcalls;
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::offer_sibling(m, "helpers");
    register_predicates(m);
    register_checker(m);
    register_fixes(m);
}

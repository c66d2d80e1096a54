// Module memberorder: entry point.
#include "memberorder.hpp"

namespace korvane::memberorder {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::memberorder

PYBIND11_MODULE(memberorder, m) {
    using namespace korvane::memberorder;
    m.doc() = "Checks of the member order of Django models and of model class names.";
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::import_sibling("helpers");
    register_prefixes(m);
    register_checker(m);
}

// Module admin: entry point.
#include "admin.hpp"

namespace korvane::admin {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::admin

PYBIND11_MODULE(admin, m) {
    using namespace korvane::admin;
    m.doc() = "Check that Django admin classes live in admin modules.";
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::import_sibling("helpers");
    register_checker(m);
}

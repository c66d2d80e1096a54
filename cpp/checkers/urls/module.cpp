// Module urls: URL configuration checks, lazy-reverse misuse and its fix.
#include "urls.hpp"

namespace korvane::urls {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::urls

PYBIND11_MODULE(urls, m) {
    using namespace korvane::urls;
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::offer_sibling(m, "helpers");
    register_checks(m);
    register_checker(m);
    register_fixes(m);
}

// Module dependencies: which Django version a project targets, Django's default
// settings per version, and whether a directory holds a Django project.
#include "dependencies.hpp"

namespace korvane::dependencies {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::dependencies

PYBIND11_MODULE(dependencies, m) {
    using namespace korvane::dependencies;
    State& s = state();
    korvane::bind_module(s, m);
    s.meta = korvane::import_sibling("meta");
    register_resolve(m);
    register_defaults(m);
}

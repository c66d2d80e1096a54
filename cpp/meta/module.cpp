// Module meta: project discovery (configuration, code style, manage file, settings
// module and values, file selection).
#include "lazy.hpp"
#include "meta.hpp"

namespace korvane::meta {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::meta

PYBIND11_MODULE(meta, m) {
    using namespace korvane::meta;
    State& s = state();
    korvane::bind_module(s, m);
    s.helpers = korvane::import_sibling("helpers");
    s.shims = korvane::import_sibling("shims");
    register_lazy(m);
    register_config(m);
    register_files(m);
    register_manage(m);
    register_settings(m);
}

// The one shape of an extension module of the package.
//
// Each module keeps what it needs for the life of the process in one `State` record
// in its own namespace `korvane::<module>`, reached through `state()`:
//
//     struct State : korvane::ModuleState {
//         py::object helpers;  // siblings imported when the module loads
//         py::object Checker;  // the module's own classes, where other files need them
//     };
//     State& state();          // defined once, in module.cpp, by KORVANE_MODULE_STATE
//
// module.cpp only builds and registers: PYBIND11_MODULE binds the module into its
// state (`bind_module`), imports its siblings (`import_sibling`, or `offer_sibling`
// where the module also offers them as attributes), and calls one
// `register_<concern>(m)` per file, in the module's order of definition.
#pragma once

#include <korvane/common.hpp>

#include <string>

namespace korvane {

// What every module keeps: its own handle and its logger.
struct ModuleState {
    py::module_ module;  // the extension module itself
    py::object logger;   // logging.getLogger(<dotted module name>)
};

// Binds the module being loaded into its state: its handle, and its logger, which is
// also offered as the module attribute `logger`.
inline void bind_module(ModuleState& state, py::module_& m) {
    state.module = m;
    state.logger = module_logger(m);
    m.attr("logger") = state.logger;
}

// A sibling module of the package, `korvane.staticanalysis.<name>` (a dotted name
// below it for the checker modules: "checkers.settings").  Imported when the module
// loads; called through its attributes, so that a patched attribute is seen.
inline py::object import_sibling(const char* name) {
    return py::module_::import((std::string("korvane.staticanalysis.") + name).c_str());
}

// A sibling imported as `import_sibling` does and also offered as the module attribute
// of the same name (a plain name: "helpers"), for code that reaches it through the
// module.
inline py::object offer_sibling(py::module_& m, const char* name) {
    py::object sibling = import_sibling(name);
    m.attr(name) = sibling;
    return sibling;
}

}  // namespace korvane

// Defines `State& state()` of a module: made on first use and leaked on purpose, so
// that the objects it holds are never released after the interpreter has shut down.
#define KORVANE_MODULE_STATE(StateType)             \
    StateType& state() {                            \
        static StateType* state_ = new StateType(); \
        return *state_;                             \
    }

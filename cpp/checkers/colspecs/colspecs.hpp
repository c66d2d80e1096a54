// Module colspecs: checks and fixes of Django model field declarations.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::colspecs {

namespace py = pybind11;

// The checker and the fix factory reach the predicates and fixes as attributes of
// `state().module`, so that a replaced attribute takes effect.
struct State : korvane::ModuleState {
    py::object helpers;  // korvane.staticanalysis.helpers, imported when the module loads
    WalkMemo walk_memo;  // the answers kept while the checker walks one module
    py::object null_index;  // names relied on as None elsewhere in the project; null: none set
};
State& state();

// `helpers.<name>`, looked up at the call.
inline py::object helper(const py::str& name) { return state().helpers.attr(name); }

// `<this module>.<name>`, looked up at the call.
inline py::object module_attr(const py::str& name) { return state().module.attr(name); }

// `helpers.<name>(node)` for the inference-heavy questions, kept per node while a
// module is walked.
inline py::object ask_helper(const py::str& name, py::handle node) {
    return state().walk_memo.ask(name, node, [&] { return helper(name)(node); });
}

// The longest CharField that is not "huge": past it a TextField serves better.  The
// module constant MAX_CHARFIELD_LENGTH and the default of the checker's
// "max-charfield-length" option; the huge-field test reads the module constant.
constexpr int kMaxCharfieldLength = 512;

// pylint's safe_infer: the one value a node infers to, or None.
inline py::object safe_infer(py::handle node) {
    return KORVANE_IMPORTED("pylint.checkers.utils", "safe_infer")(node);
}

// `mapping.get(key)`: None when the key is absent.
inline py::object get_item(py::handle mapping, const py::str& key) {
    return mapping.attr(KORVANE_NAME("get"))(key);
}

// `a == b` by the interpreter's equality; errors propagate.
inline bool equals(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(r));
}

// Whether a field call is an argument of another field call (the base field of an
// ArrayField): part of that declaration, not a declaration of its own.
bool is_field_argument(py::handle call);

// Makes the callee of the field call `call` name the field class `new_name` of the
// module that defines the class the call creates, spelled the way the module reaches
// it (the same receiver, or a bare name imported beside the old one).  Null once done;
// where the module cannot name that class, the reason, and the call is unchanged.  A
// callee that is neither a name nor an attribute raises NotImplementedError.
py::object respell_field_class(py::handle call, const char* new_name);

// Names of fields relied on as None (null_reliance.cpp): what one node of an astroid
// tree adds to them, those of a whole module, and whether the project's index, when
// one is set, holds a name.
void add_null_reliance(py::handle node, py::set& names);
py::set null_reliant_names(py::handle module);
bool in_null_index(py::handle name);

void register_null_reliance(py::module_& m);
void register_predicates(py::module_& m);
void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace korvane::colspecs

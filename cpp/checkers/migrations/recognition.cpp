// Whether a module is a Django migration module: one of the classes it defines at its
// top level derives from Django's Migration.  Asked once per module while the checker
// walks it.
#include "migrations.hpp"

namespace korvane::migrations {

namespace {

// The qualified name of Django's Migration class, as astroid gives it.
const py::str& migration_qname() {
    return KORVANE_NAME("django.db.migrations.migration.Migration");
}

// Whether Django's Migration is among the class's ancestors.  Errors propagate; the
// caller decides which of them mean "no".
bool derives_from_migration(py::handle cls) {
    py::object mro = cls.attr(KORVANE_NAME("mro"))();
    py::object it = korvane::iter_of(mro);
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object ancestor = py::reinterpret_steal<py::object>(raw);
        py::object qname = ancestor.attr(KORVANE_NAME("qname"))();
        int eq = PyObject_RichCompareBool(qname.ptr(), migration_qname().ptr(), Py_EQ);
        if (eq < 0) throw py::error_already_set();
        if (eq == 1) return true;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
}

// Every class bound in the module's own namespace (its body, or an `if` or `try` at
// its top level) is looked at, whatever stands before it: a helper class or an enum
// above `class Migration` hides nothing.  A class whose ancestry cannot be resolved
// is passed over.
bool defines_migration(py::handle module) {
    py::object locals = korvane::getattr_or_null(module, KORVANE_NAME("locals"));
    if (!locals || !PyDict_Check(locals.ptr())) return false;
    py::handle classdef = KORVANE_IMPORTED("astroid", "ClassDef");
    for (auto item : py::reinterpret_borrow<py::dict>(locals)) {
        for (py::handle bound : item.second) {
            if (!korvane::isinstance(bound, classdef)) continue;
            try {
                if (derives_from_migration(bound)) return true;
            } catch (py::error_already_set& e) {
                if (!korvane::is_ordinary(e)) throw;
            }
        }
    }
    return false;
}

}  // namespace

bool in_migration_module(py::handle node) {
    try {
        py::object root = node.attr(KORVANE_NAME("root"))();
        py::object answer = state().walk_memo.ask(KORVANE_NAME("in_migration_module"), root, [&] {
            return py::object(py::bool_(defines_migration(root)));
        });
        return korvane::truthy(answer);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return false;
    }
}

}  // namespace korvane::migrations

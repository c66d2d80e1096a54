// Django-aware predicates on astroid nodes and inferred values, and the tables of
// Django field class names.  A class is recognised by the qualified names of its
// resolved ancestors, so a same-named class of another module never matches.
#include "ancestry_memo.hpp"

namespace korvane::helpers {

namespace {

// Walks `x.mro()` and answers whether one class is the Django class `base`.  Errors
// propagate; callers decide which of them mean "no".  During an analysis the class's
// ancestry is computed once and kept.
bool ancestry_holds(py::handle x, DjangoBase base) {
    long kept = kept_ancestry(x);
    if (kept >= 0) return (kept >> static_cast<int>(base)) & 1;
    const py::str& qname = qname_of(base);
    py::object mro = x.attr(KORVANE_NAME("mro"))();
    py::object it = iter_of(mro);
    const py::str& qname_attr = KORVANE_NAME("qname");
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object cls = py::reinterpret_steal<py::object>(raw);
        if (equals(cls.attr(qname_attr)(), qname)) return true;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
}

// The ancestor test: any ordinary error (no `mro`, an inconsistent hierarchy, a
// class without `qname`) answers false; interrupts and exit requests pass.
bool has_ancestor(py::handle x, DjangoBase base) {
    try {
        return ancestry_holds(x, base);
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return false;
        throw;
    }
}

bool is_model_field(py::object node) {
    try {
        return ancestry_holds(safe_infer(node), DjangoBase::field);
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return false;
        throw;
    }
}

// A module is a migration module when any class bound in its own namespace (its body,
// or an `if` or `try` at its top level) derives from Django's Migration, whatever
// stands before it: a helper class or an enum above `class Migration` hides nothing.
// A class whose ancestry cannot be resolved is passed over; any other ordinary error
// answers false.
bool is_migration_file(py::object node) {
    try {
        py::object root = node.attr(KORVANE_NAME("root"))();
        py::object locals = getattr_or_null(root, KORVANE_NAME("locals"));
        if (!locals || !PyDict_Check(locals.ptr())) return false;
        py::handle classdef = KORVANE_IMPORTED("astroid", "ClassDef");
        // A copy of the bindings: inferring an ancestry may build more of the tree.
        py::list bindings = py::reinterpret_steal<py::list>(PyDict_Values(locals.ptr()));
        if (!bindings) throw py::error_already_set();
        for (py::handle nodes : bindings) {
            for (py::handle bound : nodes) {
                if (!korvane::isinstance(bound, classdef)) continue;
                try {
                    if (ancestry_holds(bound, DjangoBase::migration)) return true;
                } catch (py::error_already_set& e) {
                    if (!is_ordinary(e)) throw;
                }
            }
        }
        return false;
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return false;
        throw;
    }
}

// The node bound to "abstract" in the class's inner "Meta" when that binding infers
// to a true value, else False.  A missing "Meta" or "abstract", a "Meta" that is
// not a class body (`Meta = Base.Meta`), or a value that does not infer to a true
// value all answer False.
py::object is_node_abstract_model(py::object node) {
    try {
        py::object meta = node[py::str("Meta")];
        py::object bound = meta[py::str("abstract")];
        py::object value = safe_infer(bound);
        if (value.is_none()) return py::bool_(false);
        py::object truth = value.attr(KORVANE_NAME("bool_value"))();
        if (truth.ptr() == Py_True) return bound;
        return py::bool_(false);
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return py::bool_(false);
        throw;
    }
}

bool is_model(py::object node, py::kwargs) { return has_ancestor(node, DjangoBase::model); }
bool is_related_field(py::object node, py::kwargs) {
    return has_ancestor(node, DjangoBase::related_field);
}
bool is_queryset(py::object node) { return has_ancestor(node, DjangoBase::queryset); }
bool is_model_manager(py::object node) { return has_ancestor(node, DjangoBase::manager); }
bool is_model_admin(py::object node) { return has_ancestor(node, DjangoBase::model_admin); }

py::set name_set(std::initializer_list<const char*> names) {
    py::set s;
    for (const char* n : names) s.add(py::str(n));
    return s;
}

}  // namespace

void register_predicates(py::module_& m) {
    // Library objects the predicates use, resolved while the module loads.
    (void)KORVANE_IMPORTED("pylint.checkers.utils", "safe_infer");
    (void)KORVANE_IMPORTED("astroid", "ClassDef");

    m.def("is_model", &is_model, py::arg("node"),
          "Whether the node's ancestry holds Django's model base class.");
    m.def("is_related_field", &is_related_field, py::arg("node"),
          "Whether the class's ancestry holds Django's related field class.");
    m.def("is_queryset", &is_queryset, py::arg("node"),
          "Whether the value's ancestry holds Django's QuerySet.");
    m.def("is_model_manager", &is_model_manager, py::arg("node"),
          "Whether the value's ancestry holds Django's model manager.");
    m.def("is_model_admin", &is_model_admin, py::arg("node"),
          "Whether the class's ancestry holds Django's base model admin.");
    m.def("is_model_field", &is_model_field, py::arg("node"),
          "Whether the node infers to an instance of a Django model field class.");
    m.def("is_migration_file", &is_migration_file, py::arg("node"),
          "Whether the module holding the node is a Django migration module.");
    m.def("is_node_abstract_model", &is_node_abstract_model, py::arg("node"),
          "The node bound to a true `abstract` in the class's inner Meta, else False.");

    m.attr("DJANGO_STRING_FIELDS") =
        name_set({"TextField", "CharField", "URLField", "EmailField", "SlugField"});
    m.attr("DJANGO_BOOLEAN_FIELDS") = name_set({"BooleanField", "NullBooleanField"});
}

}  // namespace korvane::helpers

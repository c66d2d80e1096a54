// Class ancestries kept for the length of one analysis.
//
// Each ancestry question ("does this value's class derive from Django's Model?") is an
// `mro()` of the class, which astroid computes anew at every call by inferring every
// base.  While a project is analysed the trees are only read, so the ancestry of one
// class node cannot change: the analysis road opens this memo before its lint and
// closes it after, and in between each class's ancestry is computed once.  Outside an
// analysis nothing is kept, so the fix roads, which edit trees in place, always see a
// fresh answer.
#include "ancestry_memo.hpp"

namespace korvane::helpers {

const py::str& qname_of(DjangoBase base) {
    switch (base) {
        case DjangoBase::model: return KORVANE_NAME("django.db.models.base.Model");
        case DjangoBase::queryset: return KORVANE_NAME("django.db.models.query.QuerySet");
        case DjangoBase::related_field:
            return KORVANE_NAME("django.db.models.fields.related.RelatedField");
        case DjangoBase::model_admin:
            return KORVANE_NAME("django.contrib.admin.options.BaseModelAdmin");
        case DjangoBase::manager: return KORVANE_NAME("django.db.models.manager.Manager");
        case DjangoBase::field: return KORVANE_NAME("django.db.models.fields.Field");
        case DjangoBase::migration:
            return KORVANE_NAME("django.db.migrations.migration.Migration");
    }
    return KORVANE_NAME("");
}

namespace {

constexpr DjangoBase kBases[] = {DjangoBase::model,       DjangoBase::queryset,
                                 DjangoBase::related_field, DjangoBase::model_admin,
                                 DjangoBase::manager,     DjangoBase::field,
                                 DjangoBase::migration};

// The kept ancestries, class node -> bits of the Django bases in its mro (a small
// int, which the interpreter shares); null while no analysis is open.  Leaked on
// purpose: it outlives the interpreter.
PyObject* kept = nullptr;

// The class node whose mro `x.mro()` computes, when that can be known without running
// it: a class itself, or a plain instance of one.  Null for anything else.
py::object class_of(py::handle x) {
    PyObject* classdef = KORVANE_IMPORTED("astroid", "ClassDef").ptr();
    PyObject* instance = KORVANE_IMPORTED("astroid.bases", "Instance").ptr();
    PyTypeObject* type = Py_TYPE(x.ptr());
    if (reinterpret_cast<PyObject*>(type) == classdef) return py::reinterpret_borrow<py::object>(x);
    if (reinterpret_cast<PyObject*>(type) != instance) return py::object();
    PyObject* found = PyObject_GetAttrString(x.ptr(), "_proxied");
    if (!found) {
        clear_ordinary_error();
        return py::object();
    }
    // held here: `_proxied` may be a property that makes a new object each time
    py::object proxied = py::reinterpret_steal<py::object>(found);
    return reinterpret_cast<PyObject*>(Py_TYPE(proxied.ptr())) == classdef ? proxied : py::object();
}

// The bits of the Django bases in the class's mro; -1 after an ordinary error, which
// the caller meets again on its own road.
long compute(py::handle cls) {
    try {
        py::object mro = cls.attr(KORVANE_NAME("mro"))();
        const py::str& qname = KORVANE_NAME("qname");
        long bits = 0;
        for (py::handle ancestor : mro) {
            py::object name = ancestor.attr(qname)();
            for (DjangoBase base : kBases) {
                if (equals(name, qname_of(base))) bits |= 1L << static_cast<int>(base);
            }
        }
        return bits;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return -1;
    }
}

}  // namespace

void open_ancestry_memo() {
    Py_XDECREF(kept);
    kept = PyDict_New();
    if (!kept) throw py::error_already_set();
}

void close_ancestry_memo() {
    Py_CLEAR(kept);
}

// How many ancestries are kept: a mark to forget back to.
Py_ssize_t kept_ancestry_count() { return kept ? PyDict_GET_SIZE(kept) : 0; }

// Forgets the ancestries kept since the memo held `count` of them (the classes of
// trees built for a while and dropped: the memo would keep them alive).
void forget_ancestries_since(Py_ssize_t count) {
    if (!kept || PyDict_GET_SIZE(kept) <= count) return;
    py::list keys = py::reinterpret_steal<py::list>(PyDict_Keys(kept));
    if (!keys) throw py::error_already_set();
    for (Py_ssize_t i = count; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        if (PyDict_DelItem(kept, PyList_GET_ITEM(keys.ptr(), i)) < 0) throw py::error_already_set();
    }
}

long kept_ancestry(py::handle x) {
    if (!kept) return -1;
    py::object holder = class_of(x);
    if (!holder) return -1;
    PyObject* hit = PyDict_GetItemWithError(kept, holder.ptr());
    if (hit) return PyLong_AsLong(hit);
    if (PyErr_Occurred()) throw py::error_already_set();
    // The class is held: computing its mro may run code that closes the memo.
    long bits = compute(holder);
    if (bits < 0 || !kept) return bits;
    py::int_ value(bits);
    if (PyDict_SetItem(kept, holder.ptr(), value.ptr()) < 0) throw py::error_already_set();
    return bits;
}

void register_ancestry_memo(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.bases", "Instance");
    m.def("open_analysis_memo", &open_ancestry_memo,
          "Keeps each class's ancestry, once computed, until close_analysis_memo; for "
          "the length of one analysis, while trees are only read.");
    m.def("close_analysis_memo", &close_ancestry_memo,
          "Drops the kept ancestries; every question is answered anew after it.");
    m.def("kept_ancestry_count", &kept_ancestry_count,
          "How many class ancestries the open memo keeps (0 when it is closed).");
    m.def("forget_ancestries_since", &forget_ancestries_since, py::arg("count"),
          "Forgets the ancestries kept after the memo held `count` of them.");
}

}  // namespace korvane::helpers

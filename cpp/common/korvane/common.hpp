// Shared C++ of the korvane.staticanalysis extension modules: kept Python objects,
// interned names, imports, Python classes with C++ methods, and error matching.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

namespace korvane {

namespace py = pybind11;

// A Python object kept for the life of the process.  The object is leaked on purpose:
// a static py::object would be released after the interpreter has shut down.
inline py::object& keep(py::object obj) {
    return *new py::object(std::move(obj));
}

// An interned name, made once per call site: `KORVANE_NAME("lineno")`.
#define KORVANE_NAME(text)                                                        \
    ([]() -> const ::pybind11::str& {                                             \
        static const ::pybind11::str* name_ = [] {                                \
            PyObject* s = PyUnicode_InternFromString(text);                       \
            if (!s) throw ::pybind11::error_already_set();                        \
            return new ::pybind11::str(::pybind11::reinterpret_steal<::pybind11::str>(s)); \
        }();                                                                      \
        return *name_;                                                            \
    }())

// `from <module> import <name>`, resolved at the call.
inline py::object import_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

// A name resolved once, on first use, and kept: for library objects that are
// imported when the module loads.
#define KORVANE_IMPORTED(module, name)                                            \
    ([]() -> ::pybind11::object& {                                                \
        static ::pybind11::object* obj_ =                                         \
            &::korvane::keep(::korvane::import_attr(module, name));               \
        return *obj_;                                                             \
    }())

// Builds a real Python class with `type(name, bases, ns)`, sets `__module__` and
// `__qualname__`, and binds it on the module, so it pickles and imports by name.
inline py::object make_class(py::module_& m, const char* name, py::tuple bases,
                             py::dict ns = py::dict()) {
    ns["__module__"] = m.attr("__name__");
    if (!ns.contains("__qualname__")) ns["__qualname__"] = name;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

// Attaches a C++ method to a Python class; pybind11 binds `self` itself.  The method
// replaces any inherited one of the same name (no overload chaining).
template <typename Func, typename... Extra>
py::object def_method(py::object cls, const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::is_method(cls), extra...);
    cls.attr(name) = fn;
    return fn;
}

// An initialiser: pybind11 treats a cpp_function named `__init__` as its own
// constructor, so the function is made under another name and assigned.
template <typename Func, typename... Extra>
py::object def_init(py::object cls, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name("_korvane_init"), py::is_method(cls),
                        extra...);
    cls.attr("__init__") = fn;
    return fn;
}

// A static method on a Python class.
template <typename Func, typename... Extra>
py::object def_static(py::object cls, const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), extra...);
    py::object sm = py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr()));
    if (!sm) throw py::error_already_set();
    cls.attr(name) = sm;
    return sm;
}

// `getattr(obj, name)` that answers a null object when the attribute is missing;
// only AttributeError is cleared, every other error propagates.
inline py::object getattr_or_null(py::handle obj, py::handle name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return py::object();
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(r);
}

// isinstance(obj, cls) with errors propagated.
inline bool isinstance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Truth of a Python object, with errors propagated.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `a == b` by the interpreter's equality (an object equals itself); errors propagate.
inline bool equals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// `item in container` by the interpreter's membership test; errors propagate.
inline bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Whether `container` holds any of the texts: `any(t in container for t in texts)`.
template <size_t N>
bool contains_any(py::handle container, const char* const (&texts)[N]) {
    for (const char* text : texts) {
        if (contains(container, py::str(text))) return true;
    }
    return false;
}

// Whether a caught Python error is an ordinary one (`Exception` and its subclasses but
// MemoryError), so that KeyboardInterrupt, SystemExit and MemoryError pass through
// handlers of ordinary errors.
inline bool is_ordinary(const py::error_already_set& e) {
    return e.matches(PyExc_Exception) && !e.matches(PyExc_MemoryError);
}

// The traceback of a caught error, or None when it has none (an error raised from C
// code): for handing the error on to `__exit__` and the like, which take an object.
inline py::object trace_of(const py::error_already_set& e) {
    return e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
}

// Clears the error in flight when it is an ordinary one (as `is_ordinary` tells);
// anything else is raised on as a py::error_already_set.  For C calls whose failure
// means "no answer".
inline void clear_ordinary_error() {
    if (!PyErr_Occurred()) return;
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return;
    }
    throw py::error_already_set();
}

// A predicate as a module offers it: an ordinary error (inference that cannot cope
// with odd but valid code) gives the `Fallback` answer instead, so one declaration is
// passed over and the rest of the module is still checked.
template <py::object (*Predicate)(py::object), py::object (*Fallback)()>
py::object never_raising(py::object node) {
    try {
        return Predicate(node);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return Fallback();
    }
}

// A new exception class `module.name` with the given base, bound on the module.
inline py::object make_exception(py::module_& m, const char* name, PyObject* base) {
    std::string qualified = py::cast<std::string>(m.attr("__name__")) + "." + name;
    PyObject* cls = PyErr_NewException(qualified.c_str(), base, nullptr);
    if (!cls) throw py::error_already_set();
    py::object obj = py::reinterpret_steal<py::object>(cls);
    m.attr(name) = obj;
    return obj;
}

// Raises a Python exception class without arguments, as `raise Cls`.
[[noreturn]] inline void raise_bare(py::handle cls) {
    PyErr_SetNone(cls.ptr());
    throw py::error_already_set();
}

// The module's logger, `logging.getLogger(<dotted module name>)`.
inline py::object module_logger(py::module_& m) {
    return py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
}

// The name of the value's type, as an error message shows it: `type(value).__name__`.
inline py::object type_name(py::handle value) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())))
        .attr(KORVANE_NAME("__name__"));
}

// An iterator object over a Python list, as the tips and generators hand out.
inline py::object iter_of(py::handle iterable) {
    PyObject* it = PyObject_GetIter(iterable.ptr());
    if (!it) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(it);
}

}  // namespace korvane

// Reduction of astroid nodes to plain Python values, for comparing what a project
// wrote with known values without importing its code.
#include "helpers.hpp"

#include <algorithm>

namespace korvane::helpers {

namespace {

py::object& node_value_undefinable() {
    static py::object* cls = nullptr;
    if (!cls) cls = &keep(py::object());
    return *cls;
}

// Guards the C++ recursion of nested displays and chains of names with the
// interpreter's own recursion limit.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while converting a node to a value"))
            throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

py::object astroid_node_to_value(py::object node);

// pylint's safe_infer, where an inference that fails with any ordinary error (not
// only the library's inference error) gives no value.
py::object infer_or_none(py::handle node) {
    try {
        return safe_infer(node);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return py::none();
    }
}

// A dict key made from a converted key: where the conversion gave an unhashable value
// (a display used as a key), the key node itself stands in for it.
py::object dict_key(py::object converted, py::handle key_node) {
    if (PyObject_Hash(converted.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(key_node);
    }
    return converted;
}

py::object convert(py::object node) {
    RecursionGuard guard;
    static py::object& inferable_kinds = keep(py::make_tuple(
        KORVANE_IMPORTED("astroid", "BinOp"), KORVANE_IMPORTED("astroid", "Attribute"),
        KORVANE_IMPORTED("astroid", "AssignName")));
    static py::object& sequence_kinds = keep(py::make_tuple(
        KORVANE_IMPORTED("astroid", "List"), KORVANE_IMPORTED("astroid", "Tuple")));

    if (korvane::isinstance(node, inferable_kinds)) {
        py::object inferred = infer_or_none(node);
        if (truthy(inferred)) return astroid_node_to_value(inferred);
        return node;
    }
    if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Name"))) {
        py::tuple found = node.attr(KORVANE_NAME("lookup"))(node.attr(KORVANE_NAME("name")));
        py::object bindings = found[1];
        if (truthy(bindings)) return astroid_node_to_value(bindings[py::int_(0)]);
        return node;
    }
    if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Const"))) {
        return node.attr(KORVANE_NAME("value"));
    }
    if (korvane::isinstance(node, sequence_kinds)) {
        py::list result;
        py::object it = iter_of(node.attr(KORVANE_NAME("get_children"))());
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            result.append(astroid_node_to_value(py::reinterpret_steal<py::object>(raw)));
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return std::move(result);
    }
    if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Dict"))) {
        py::dict result;
        py::object it = iter_of(node.attr(KORVANE_NAME("items")));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object pair = py::reinterpret_steal<py::object>(raw);
            py::object key_node = pair[py::int_(0)];
            py::object key = dict_key(astroid_node_to_value(key_node), key_node);
            py::object value = astroid_node_to_value(pair[py::int_(1)]);
            result[key] = value;
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return std::move(result);
    }
    return node;
}

// Never raises an ordinary error: a node (or an element of a display) that cannot be
// reduced, for whatever reason, comes back unchanged.
py::object astroid_node_to_value(py::object node) {
    try {
        return convert(node);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return node;
    }
}

// Never raises an ordinary error: a keyword whose value cannot be inferred, for
// whatever reason, is left out; a node without keywords gives an empty mapping.
py::dict get_node_explicit_arguments(py::object node) {
    py::dict result;
    const py::str& infer = KORVANE_NAME("infer");
    const py::str& value_attr = KORVANE_NAME("value");
    const py::str& arg_attr = KORVANE_NAME("arg");
    try {
        py::object keywords = getattr_or_null(node, KORVANE_NAME("keywords"));
        if (!keywords || !truthy(keywords)) return result;
        py::object it = iter_of(keywords);
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object keyword = py::reinterpret_steal<py::object>(raw);
            py::object first;
            try {
                py::object values = iter_of(keyword.attr(value_attr).attr(infer)());
                PyObject* got = PyIter_Next(values.ptr());
                if (!got && PyErr_Occurred()) throw py::error_already_set();
                first = py::reinterpret_steal<py::object>(got);
            } catch (py::error_already_set& e) {
                // The library's inference error, or any other error of an inference
                // that cannot cope with the code: the keyword is left out.
                if (is_ordinary(e)) continue;
                throw;
            }
            // Inference that ends without a value is left out, like an inference error.
            if (!first) continue;
            result[keyword.attr(arg_attr)] = astroid_node_to_value(first);
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
    }
    return result;
}

// The argument node of the constructor that a class body binds to "__init__": the
// function definition itself, or, for a binding that is no definition
// (`__init__ = _init`, `__init__ = Base.__init__`, a lambda), the function or lambda
// it infers to.  A null object when it is neither (a staticmethod call, a property,
// an uninferable name).
py::object constructor_arguments(py::handle cls) {
    static py::object& arguments_class = KORVANE_IMPORTED("astroid", "Arguments");
    const py::str& args_attr = KORVANE_NAME("args");
    py::object binding = cls[KORVANE_NAME("__init__")];
    py::object args = getattr_or_null(binding, args_attr);
    if (args && korvane::isinstance(args, arguments_class)) return args;
    py::object value = infer_or_none(binding);
    if (value.is_none()) return py::object();
    args = getattr_or_null(value, args_attr);
    if (args && korvane::isinstance(args, arguments_class)) return args;
    return py::object();
}

// Collects into `result` the positional-parameter defaults of one class's
// constructor, for the names that have no entry yet.
void add_constructor_defaults(py::handle cls, py::dict& result) {
    const py::str& name_attr = KORVANE_NAME("name");
    const py::str& not_provided = KORVANE_NAME("NOT_PROVIDED");
    int has_init = PySequence_Contains(cls.ptr(), KORVANE_NAME("__init__").ptr());
    if (has_init < 0) throw py::error_already_set();
    if (!has_init) return;
    py::object args = constructor_arguments(cls);
    if (!args) return;
    py::object default_nodes = args.attr(KORVANE_NAME("defaults"));
    py::object parameter_nodes = args.attr(KORVANE_NAME("arguments"));
    if (default_nodes.is_none() || parameter_nodes.is_none()) return;
    py::list defaults(default_nodes);
    py::list parameters(parameter_nodes);
    // The defaults belong to the last positional parameters, first with first.
    size_t count = std::min(defaults.size(), parameters.size());
    size_t offset = parameters.size() - count;
    for (size_t i = 0; i < count; ++i) {
        py::object default_node = defaults[i];
        py::object marker = getattr_or_null(default_node, name_attr);
        if (marker && marker.equal(not_provided)) continue;
        py::object parameter_name = parameters[offset + i].attr(name_attr);
        if (result.contains(parameter_name)) continue;
        result[parameter_name] = astroid_node_to_value(default_node);
    }
}

// Never raises an ordinary error: a call that cannot be inferred, or whose class has
// no computable ancestry, gives an empty mapping; a class whose constructor cannot be
// read contributes nothing and the next one is read.
py::dict get_node_default_arguments(py::object node) {
    py::dict result;
    py::object classes;
    try {
        py::object inferred = safe_infer(node);
        if (!truthy(inferred)) return result;
        classes = iter_of(inferred.attr(KORVANE_NAME("mro"))());
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return result;
    }
    while (true) {
        PyObject* raw = PyIter_Next(classes.ptr());
        if (!raw) {
            if (PyErr_Occurred()) {
                py::error_already_set e;
                if (!is_ordinary(e)) throw e;
            }
            break;
        }
        py::object cls = py::reinterpret_steal<py::object>(raw);
        try {
            add_constructor_defaults(cls, result);
        } catch (py::error_already_set& e) {
            if (!is_ordinary(e)) throw;
        }
    }
    return result;
}

py::object get_astroid_node_constant_values(py::object node, py::object key) {
    py::object assign;
    try {
        assign = node[key];
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_KeyError)) return py::none();
        throw;
    }
    if (korvane::isinstance(assign, KORVANE_IMPORTED("astroid", "ImportFrom"))) {
        return py::none();
    }
    // An inference that fails, with whatever error, leaves the name without a value.
    py::object value = infer_or_none(assign);
    if (truthy(value)) return astroid_node_to_value(value);
    raise_bare(node_value_undefinable());
}

}  // namespace

void register_values(py::module_& m) {
    for (const char* name : {"BinOp", "Attribute", "AssignName", "Name", "Const", "List",
                             "Tuple", "Dict", "ImportFrom", "Arguments"}) {
        (void)import_attr("astroid", name);
    }
    (void)KORVANE_IMPORTED("astroid.exceptions", "InferenceError");

    node_value_undefinable() = make_exception(m, "NodeValueUndefinable", PyExc_TypeError);

    m.def("astroid_node_to_value", &astroid_node_to_value, py::arg("node"),
          "Reduces a node to a plain value where it can; else returns it unchanged.");
    m.def("get_node_explicit_arguments", &get_node_explicit_arguments, py::arg("node"),
          "The keyword arguments written in a call, by name, as plain values.");
    m.def("get_node_default_arguments", &get_node_default_arguments, py::arg("node"),
          "The positional-parameter defaults of the constructors of the class a call "
          "creates; the most derived class wins.");
    m.def("get_astroid_node_constant_values", &get_astroid_node_constant_values,
          py::arg("node"), py::arg("key"),
          "The plain value of a name's first binding in a scope, or None.");
}

}  // namespace korvane::helpers

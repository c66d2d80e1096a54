// Reduction of astroid nodes to plain Python values, for comparing what a project
// wrote with known values without importing its code.
#include "helpers.hpp"

#include <korvane/constructors.hpp>

#include <algorithm>

namespace korvane::helpers {

namespace {

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

// Whether a default node is Django's not-provided marker, which stands for no default.
bool is_not_provided(py::handle default_node) {
    py::object marker = getattr_or_null(default_node, KORVANE_NAME("name"));
    return marker && equals(marker, KORVANE_NAME("NOT_PROVIDED"));
}

// Whether `node` is the bare name `kwargs_name`.
bool is_name(py::handle node, py::handle kwargs_name) {
    if (!korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Name"))) return false;
    return equals(node.attr(KORVANE_NAME("name")), kwargs_name);
}

// The (name, value node) of a statement `kwargs.setdefault("name", value)` on the
// constructor's own `**kwargs` mapping, or an empty tuple for any other statement.
py::tuple setdefault_of(py::handle statement, py::handle kwargs_name) {
    if (!korvane::isinstance(statement, KORVANE_IMPORTED("astroid", "Expr"))) return py::tuple();
    py::object call = statement.attr(KORVANE_NAME("value"));
    if (!korvane::isinstance(call, KORVANE_IMPORTED("astroid", "Call"))) return py::tuple();
    py::object func = call.attr(KORVANE_NAME("func"));
    if (!korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Attribute"))) return py::tuple();
    if (!equals(func.attr(KORVANE_NAME("attrname")), KORVANE_NAME("setdefault"))) return py::tuple();
    if (!is_name(func.attr(KORVANE_NAME("expr")), kwargs_name)) return py::tuple();
    if (truthy(call.attr(KORVANE_NAME("keywords")))) return py::tuple();
    py::list args(call.attr(KORVANE_NAME("args")));
    if (args.size() != 2) return py::tuple();  // `kwargs.setdefault(key, default)`
    py::object key = args[0];
    if (!korvane::isinstance(key, KORVANE_IMPORTED("astroid", "Const"))) return py::tuple();
    py::object name = key.attr(KORVANE_NAME("value"));
    if (!PyUnicode_Check(name.ptr())) return py::tuple();
    return py::make_tuple(name, args[1]);
}

// Whether a statement hands the `**kwargs` mapping on (`super().__init__(**kwargs)`):
// what the constructor sets in it afterwards no longer reaches the field.
bool hands_on_kwargs(py::handle statement, py::handle kwargs_name) {
    py::object calls = iter_of(statement.attr(KORVANE_NAME("nodes_of_class"))(
        KORVANE_IMPORTED("astroid", "Call")));
    while (PyObject* raw = PyIter_Next(calls.ptr())) {
        py::object call = py::reinterpret_steal<py::object>(raw);
        py::object keywords = call.attr(KORVANE_NAME("keywords"));
        if (!truthy(keywords)) continue;
        for (py::handle keyword : keywords) {
            if (!keyword.attr(KORVANE_NAME("arg")).is_none()) continue;
            if (is_name(keyword.attr(KORVANE_NAME("value")), kwargs_name)) return true;
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
}

// Collects into `result` the `kwargs.setdefault("name", value)` defaults that a
// constructor sets at the top level of its body before it hands `**kwargs` on
// (`kwargs.setdefault("db_index", True)` of Django's ForeignKey), for the names that
// have no entry yet; the first setdefault of a name is the one that holds.  A
// `kwargs["name"] = value` assignment is no default: it overrides whatever the caller
// passes, so it is not read.
void add_setdefault_defaults(py::handle function, py::handle args, py::dict& result) {
    if (!korvane::isinstance(function, KORVANE_IMPORTED("astroid", "FunctionDef"))) return;
    py::object kwargs_name = args.attr(KORVANE_NAME("kwarg"));
    if (!truthy(kwargs_name)) return;
    for (py::handle statement : function.attr(KORVANE_NAME("body"))) {
        py::tuple found = setdefault_of(statement, kwargs_name);
        if (found.empty()) {
            if (hands_on_kwargs(statement, kwargs_name)) return;
            continue;
        }
        py::object name = found[0];
        py::object value_node = found[1];
        if (is_not_provided(value_node) || result.contains(name)) continue;
        result[name] = astroid_node_to_value(value_node);
    }
}

// Collects into `result` the defaults of one class's constructor, for the names that
// have no entry yet: its positional-parameter defaults, then the `kwargs.setdefault`
// defaults of its body.
void add_constructor_defaults(py::handle cls, py::dict& result) {
    const py::str& name_attr = KORVANE_NAME("name");
    int has_init = PySequence_Contains(cls.ptr(), KORVANE_NAME("__init__").ptr());
    if (has_init < 0) throw py::error_already_set();
    if (!has_init) return;
    py::object function = constructor_function(cls);
    if (!function) return;
    py::object args = function.attr(KORVANE_NAME("args"));
    py::object default_nodes = args.attr(KORVANE_NAME("defaults"));
    py::object parameter_nodes = args.attr(KORVANE_NAME("arguments"));
    if (!default_nodes.is_none() && !parameter_nodes.is_none()) {
        py::list defaults(default_nodes);
        py::list parameters(parameter_nodes);
        // The defaults belong to the last positional parameters, first with first.
        size_t count = std::min(defaults.size(), parameters.size());
        size_t offset = parameters.size() - count;
        for (size_t i = 0; i < count; ++i) {
            py::object default_node = defaults[i];
            if (is_not_provided(default_node)) continue;
            py::object parameter_name = parameters[offset + i].attr(name_attr);
            if (result.contains(parameter_name)) continue;
            result[parameter_name] = astroid_node_to_value(default_node);
        }
    }
    add_setdefault_defaults(function, args, result);
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
    raise_bare(state().NodeValueUndefinable);
}

}  // namespace

void register_values(py::module_& m) {
    for (const char* name : {"BinOp", "Attribute", "AssignName", "Name", "Const", "List",
                             "Tuple", "Dict", "ImportFrom", "Arguments", "Expr", "Call",
                             "FunctionDef"}) {
        (void)import_attr("astroid", name);
    }
    (void)KORVANE_IMPORTED("astroid.exceptions", "InferenceError");

    state().NodeValueUndefinable = make_exception(m, "NodeValueUndefinable", PyExc_TypeError);

    m.def("astroid_node_to_value", &astroid_node_to_value, py::arg("node"),
          "Reduces a node to a plain value where it can; else returns it unchanged.");
    m.def("get_node_explicit_arguments", &get_node_explicit_arguments, py::arg("node"),
          "The keyword arguments written in a call, by name, as plain values.");
    m.def("get_node_default_arguments", &get_node_default_arguments, py::arg("node"),
          "The defaults of the constructors of the class a call creates (positional-"
          "parameter defaults and `kwargs.setdefault` calls); the most derived class wins.");
    m.def("get_astroid_node_constant_values", &get_astroid_node_constant_values,
          py::arg("node"), py::arg("key"),
          "The plain value of a name's first binding in a scope, or None.");
}

}  // namespace korvane::helpers

// The member-order and model-naming checker.
#include "memberorder.hpp"

#include <korvane/call_arguments.hpp>

namespace korvane::memberorder {

namespace {

// The module's public names, looked up at the call, so that a replaced attribute
// takes effect.
py::object module_attr(const py::str& name) { return state().module.attr(name); }
py::object member_order() { return module_attr(KORVANE_NAME("STANDARD_MEMBERORDER")); }

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
    py::object code = module_attr(KORVANE_NAME("Codes")).attr(code_name);
    self.attr(KORVANE_NAME("add_message"))(code, py::arg("node") = node, py::arg("args") = args);
}

bool ask(const py::str& name, py::handle node) {
    return truthy(state().walk_memo.ask(name, node, [&] { return helper(name)(node); }));
}
bool is_model(py::handle node) { return ask(KORVANE_NAME("is_model"), node); }
bool is_model_field(py::handle node) { return ask(KORVANE_NAME("is_model_field"), node); }

bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

Py_ssize_t position(py::handle order, py::handle name) {
    Py_ssize_t index = PySequence_Index(order.ptr(), name.ptr());
    if (index < 0) throw py::error_already_set();
    return index;
}

bool less(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::dict order_args(py::object before, py::object after) {
    py::dict args;
    args["before"] = before;
    args["after"] = after;
    return args;
}

// The class or function frame that holds a node's definition.
py::object parent_frame(py::handle node) {
    return node.attr(KORVANE_NAME("parent")).attr(KORVANE_NAME("frame"))();
}

void visit_module(py::object self, py::object node) {
    self.attr(KORVANE_NAME("model_names")) = py::list();
    state().walk_memo.open(node);
}

// C3000 when the module holds max_models model classes or more.
void check_model_count(py::handle self, py::handle node, py::handle config,
                       const py::list& model_names) {
    py::int_ model_count(py::len(model_names));
    py::object max_models = config.attr(KORVANE_NAME("max_models"));
    if (less(model_count, max_models)) return;
    py::dict args;
    args["count"] = model_count;
    args["maximum"] = max_models;
    report(self, "C3000", node.attr(KORVANE_NAME("root"))(), args);
}

// Whether a counted prefix is left out: one shared by fewer than max_common_model_prefix
// names, or the words "abstract" and "base", which name base classes of models rather
// than an application.
bool is_dropped_prefix(py::handle prefix, py::handle count, py::handle min_count) {
    if (less(count, min_count)) return true;
    py::object lowered = prefix.attr("lower")();
    return lowered.equal(KORVANE_NAME("abstract")) || lowered.equal(KORVANE_NAME("base"));
}

// The prefixes of the model names shared often enough, in counter order.
py::object common_prefixes(py::handle config, const py::list& model_names) {
    py::object prefixes = module_attr(KORVANE_NAME("get_longest_common_prefix"))(
        py::arg("values") = model_names,
        py::arg("min_length") = config.attr(KORVANE_NAME("min_common_model_prefix_length")));
    py::object min_count = config.attr(KORVANE_NAME("max_common_model_prefix"));
    for (py::handle key : py::list(prefixes)) {
        if (is_dropped_prefix(key, prefixes[key], min_count) &&
            PyObject_DelItem(prefixes.ptr(), key.ptr()) < 0)
            throw py::error_already_set();
    }
    return prefixes;
}

// The longest key, the first in counter order among equally long ones; null when
// there is none or it is the empty text.
py::object longest_prefix(py::handle prefixes) {
    py::object prefix;
    Py_ssize_t longest = -1;
    for (py::handle key : prefixes) {
        Py_ssize_t length = py::len(key);
        if (length > longest) {
            longest = length;
            prefix = py::reinterpret_borrow<py::object>(key);
        }
    }
    if (longest == 0) return py::object();
    return prefix;
}

// C3003 when several model classes share a name prefix.
void check_common_prefix(py::handle self, py::handle node, py::handle config,
                         const py::list& model_names) {
    if (py::len(model_names) == 0) return;
    py::object prefixes = common_prefixes(config, model_names);
    py::object prefix = longest_prefix(prefixes);
    if (!prefix) return;
    py::dict args;
    args["count"] = prefixes[prefix];
    args["prefix"] = prefix;
    report(self, "C3003", node.attr(KORVANE_NAME("root"))(), args);
}

void leave_module(py::object self, py::object node) {
    state().walk_memo.close(node);
    py::object config = self.attr(KORVANE_NAME("config"));
    py::list model_names = self.attr(KORVANE_NAME("model_names"));
    check_model_count(self, node, config, model_names);
    check_common_prefix(self, node, config, model_names);
}

// A standard member directly below a method that belongs after it, or directly
// below a method that is no standard member, is out of place.
void check_attribute_order(py::object self, py::object node) {
    py::object order = member_order();
    py::object name = node.attr(KORVANE_NAME("name"));
    if (!contains(order, name)) return;
    py::object previous = node.attr(KORVANE_NAME("previous_sibling"))();
    if (!korvane::isinstance(previous, KORVANE_IMPORTED("astroid", "FunctionDef"))) return;
    Py_ssize_t index = position(order, name);
    py::object previous_name = previous.attr(KORVANE_NAME("name"));
    if (!contains(order, previous_name))
        report(self, "C3002", previous, order_args(name, previous_name));
    else if (index < position(order, previous_name))
        report(self, "C3002", node, order_args(name, previous_name));
}

// The first value that "Meta" infers to from the model's scope, or null when there
// is none, when it is no definition with a line number, or when the inference fails
// with whatever ordinary error.
py::object meta_line(py::handle node) {
    py::object values;
    try {
        values = node.attr(KORVANE_NAME("scope"))().attr(KORVANE_NAME("ilookup"))(KORVANE_NAME("Meta"));
        PyObject* first = PyIter_Next(values.ptr());
        if (!first) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        py::object meta = py::reinterpret_steal<py::object>(first);
        if (meta.is(KORVANE_IMPORTED("astroid", "Uninferable"))) return py::object();
        py::object line = getattr_or_null(meta, KORVANE_NAME("lineno"));
        if (!line || !PyLong_CheckExact(line.ptr())) return py::object();
        return line;
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return py::object();
        throw;
    }
}

void visit_call(py::object self, py::object node) {
    if (!is_model(node.attr(KORVANE_NAME("frame"))())) return;
    if (!is_model_field(node)) return;
    if (is_field_argument(node, &is_model_field)) return;
    py::object previous = node.attr(KORVANE_NAME("previous_sibling"))();
    if (korvane::isinstance(previous, KORVANE_IMPORTED("astroid", "Assign")))
        previous = previous.attr(KORVANE_NAME("value"));
    if (previous.is_none() || is_model_field(previous)) return;
    py::object meta = meta_line(node);
    if (!meta) return;
    if (less(meta, node.attr(KORVANE_NAME("lineno")))) {
        py::object before = helper(KORVANE_NAME("get_member_name"))(node);
        report(self, "C3002", node, order_args(before, KORVANE_NAME("Meta")));
    }
}

void visit_functiondef(py::object self, py::object node) {
    if (is_model(parent_frame(node))) check_attribute_order(self, node);
}

void visit_classdef(py::object self, py::object node) {
    if (is_model(node)) {
        self.attr(KORVANE_NAME("model_names")).attr("append")(node.attr(KORVANE_NAME("name")));
        return;
    }
    if (is_model(parent_frame(node))) check_attribute_order(self, node);
}

}  // namespace

void register_checker(py::module_& m) {
    // The members a model class usually writes in this order; a member's place in the
    // tuple is its position.
    m.attr("STANDARD_MEMBERORDER") = py::make_tuple("Meta", "__str__", "save", "get_absolute_url");
    py::object cls = make_checker_class(
        m, "models",
        "Reports model member order, modules with many models and common model prefixes.",
        {{"C3000", "tall-models", "To many models"},
         {"C3002", "model-method-order", "Wrong method order"},
         {"C3003", "model-common-prefix", "Common application prefix"}},
        // Defaults: ten model classes make a module tall; with a minimum length of 4
        // the prefixes counted are three characters or longer, and four model names
        // sharing one are reported.
        {{"max-models", 10, "Maximum number of models per module"},
         {"min-common-model-prefix-length", 4, "Minimum length of model prefixes"},
         {"max-common-model-prefix", 4, "Maximum number of models that can have the same prefix"}});
    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_module", &leave_module);
    def_method(cls, "check_attribute_order", &check_attribute_order);
    def_method(cls, "visit_call", &visit_call);
    def_method(cls, "visit_functiondef", &visit_functiondef);
    def_method(cls, "visit_classdef", &visit_classdef);
}

}  // namespace korvane::memberorder

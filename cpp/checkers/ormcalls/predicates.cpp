// QuerySet predicates: decide, for one node, whether it is an inefficient QuerySet use.
// Each answers None when the node is not of the kind it examines; inference errors
// give False, so the predicates never raise ordinary errors.
#include "ormcalls.hpp"

namespace korvane::ormcalls {

py::object infer(py::handle node) {
    py::object value = KORVANE_IMPORTED("pylint.checkers.utils", "safe_infer")(node);
    if (value.is_none()) return py::object();
    return value;
}

namespace {

py::object none() { return py::none(); }
py::object boolean(bool b) { return py::bool_(b); }

// helpers.is_queryset of what the expression infers to.
bool infers_to_queryset(py::handle expr) {
    py::object value = infer(expr);
    py::object test = state().helpers.attr(KORVANE_NAME("is_queryset"));
    return truthy(test(value ? value : py::none()));
}

size_t length_of(py::handle seq) {
    if (seq.is_none()) return 0;
    return py::len(seq);
}

// Runs a predicate body, answering False on an ordinary error.
template <typename F>
py::object guarded(F&& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return boolean(false);
    }
}

// Whether a comparison's right operand is the number `target` written out: an
// existence test compares a count with 0 or 1 itself, not with a value computed or
// held by a name (`count() == vouchers * channels`).
bool operand_equals(py::handle operand, long target) {
    if (!korvane::isinstance(operand, KORVANE_IMPORTED("astroid", "Const"))) return false;
    py::object value = operand.attr(KORVANE_NAME("value"));
    if (!(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) || PyComplex_Check(value.ptr())))
        return false;  // bool is an int subclass; text, lists and nodes never equal a number
    int r = PyObject_RichCompareBool(value.ptr(), py::int_(target).ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// One (operator, operand) pair, or None for a chained comparison.
py::object compare_form(py::handle ops, const char* op_a, long value_a, const char* op_b,
                        long value_b) {
    if (length_of(ops) != 1) return none();
    py::object pair = py::reinterpret_borrow<py::object>(ops)[py::int_(0)];
    py::object op = pair[py::int_(0)];
    py::object operand = pair[py::int_(1)];
    if (korvane::is_text(op, op_a)) return boolean(operand_equals(operand, value_a));
    if (korvane::is_text(op, op_b)) return boolean(operand_equals(operand, value_b));
    return boolean(false);
}

}  // namespace

py::object is_queryset_length(py::handle node) {
    return guarded([&]() -> py::object {
        if (!korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Call"))) return none();
        py::object func = node.attr(KORVANE_NAME("func"));
        if (!korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Name"))) return none();
        if (!korvane::is_text(func.attr(KORVANE_NAME("name")), "len")) return none();
        py::object args = node.attr(KORVANE_NAME("args"));
        if (length_of(args) != 1) return none();
        py::object argument = args[py::int_(0)];
        if (!infers_to_queryset(argument)) return boolean(false);
        // The length of a QuerySet that is evaluated later anyway costs no query of its own.
        return boolean(!truthy(is_evaluated_later(argument)));
    });
}

py::object is_queryset_count(py::handle node) {
    return guarded([&]() -> py::object {
        if (!korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Call"))) return none();
        py::object name = state().helpers.attr(KORVANE_NAME("get_function_name"))(node);
        if (!korvane::is_text(name, "count")) return none();
        if (length_of(node.attr(KORVANE_NAME("args"))) != 0) return none();
        py::object func = node.attr(KORVANE_NAME("func"));
        if (!korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Attribute"))) return none();
        return boolean(infers_to_queryset(func.attr(KORVANE_NAME("expr"))));
    });
}

py::object is_queryset(py::handle node) {
    return guarded([&]() -> py::object { return boolean(infers_to_queryset(node)); });
}

py::object is_queryset_truth_test(py::handle node) {
    return guarded([&]() -> py::object {
        if (!infers_to_queryset(node)) return boolean(false);
        return boolean(!truthy(is_evaluated_later(node)));
    });
}

py::object is_compare_exists(py::handle ops) {
    return guarded([&]() { return compare_form(ops, ">", 0, ">=", 1); });
}

py::object is_compare_not_exists(py::handle ops) {
    return guarded([&]() { return compare_form(ops, "==", 0, "<", 1); });
}

namespace {

py::object compare_with(py::handle node, py::object (*left_test)(py::handle)) {
    return guarded([&]() -> py::object {
        py::object left = getattr_or_null(node, KORVANE_NAME("left"));
        if (!left || !truthy(left_test(left))) return none();
        py::object ops = node.attr(KORVANE_NAME("ops"));
        py::object exists = is_compare_exists(ops);
        if (truthy(exists)) return exists;
        return is_compare_not_exists(ops);
    });
}

}  // namespace

py::object is_inefficient_queryset_exists(py::handle node) {
    return compare_with(node, is_queryset_count);
}

py::object is_queryset_length_exists(py::handle node) {
    return compare_with(node, is_queryset_length);
}

py::object is_indirect_fk_lookup(py::handle node) {
    return guarded([&]() -> py::object {
        py::object attrname = getattr_or_null(node, KORVANE_NAME("attrname"));
        if (!attrname || (!korvane::is_text(attrname, "pk") && !korvane::is_text(attrname, "id")))
            return none();
        py::object relation = node.attr(KORVANE_NAME("expr"));
        py::object related = infer(relation);
        py::handle instance_cls = KORVANE_IMPORTED("astroid.bases", "Instance");
        if (!related || !korvane::isinstance(related, instance_cls)) return none();
        py::object is_related_field = state().helpers.attr(KORVANE_NAME("is_related_field"));
        if (!truthy(is_related_field(related.attr(KORVANE_NAME("_proxied"))))) return none();
        if (!korvane::isinstance(relation, KORVANE_IMPORTED("astroid", "Attribute"))) return none();
        py::object receiver = infer(relation.attr(KORVANE_NAME("expr")));
        if (!receiver) return none();
        // Only an instance has a class to test; a model class or a module is no receiver.
        if (!korvane::isinstance(receiver, instance_cls)) return boolean(false);
        py::object is_model = state().helpers.attr(KORVANE_NAME("is_model"));
        return boolean(truthy(is_model(receiver.attr(KORVANE_NAME("_proxied")))));
    });
}

void register_predicates(py::module_& m) {
    m.def("is_queryset_length", [](py::object node) { return is_queryset_length(node); },
          py::arg("node"));
    m.def("is_queryset_count", [](py::object node) { return is_queryset_count(node); },
          py::arg("node"));
    m.def("is_queryset", [](py::object node) { return is_queryset(node); }, py::arg("node"));
    m.def("is_compare_exists", [](py::object ops) { return is_compare_exists(ops); },
          py::arg("ops"));
    m.def("is_compare_not_exists", [](py::object ops) { return is_compare_not_exists(ops); },
          py::arg("ops"));
    m.def("is_inefficient_queryset_exists",
          [](py::object node) { return is_inefficient_queryset_exists(node); }, py::arg("node"));
    m.def("is_queryset_length_exists",
          [](py::object node) { return is_queryset_length_exists(node); }, py::arg("node"));
    m.def("is_indirect_fk_lookup", [](py::object node) { return is_indirect_fk_lookup(node); },
          py::arg("node"));
    m.def("is_evaluated_later", [](py::object node) { return is_evaluated_later(node); },
          py::arg("node"));
}

}  // namespace korvane::ormcalls

// QuerySet fixes: rewrite len(), count() and truth tests into count() and exists(),
// and R.rel.pk into R.rel_id; plus the fix factory.
#include "ormcalls.hpp"

#include <korvane/fix_rows.hpp>

namespace korvane::ormcalls {

namespace {

// The new nodes take the old node's place: its line, column, token marks and parent.
// The expression they are built around keeps its own, so that its text is the one
// written in the file.
void take_place(py::handle new_node, py::handle old_node) {
    for (const py::str* name : {&KORVANE_NAME("lineno"), &KORVANE_NAME("col_offset"),
                                &KORVANE_NAME("first_token"), &KORVANE_NAME("last_token"),
                                &KORVANE_NAME("parent")}) {
        py::object value = korvane::getattr_or_null(old_node, *name);
        new_node.attr(*name) = value ? value : py::none();
    }
}

// `receiver.method()` in the place of `old_node`, around the receiver node itself;
// `not receiver.method()` when `negated`.
py::object call_on(py::object receiver, const char* method, py::handle old_node, bool negated = false) {
    py::object line = old_node.attr(KORVANE_NAME("lineno"));
    py::object column = old_node.attr(KORVANE_NAME("col_offset"));
    py::object call = KORVANE_IMPORTED("astroid", "Call")(py::arg("lineno") = line,
                                                          py::arg("col_offset") = column);
    py::object func = KORVANE_IMPORTED("astroid", "Attribute")(
        py::arg("attrname") = method, py::arg("lineno") = line, py::arg("col_offset") = column,
        py::arg("parent") = call);
    func.attr("postinit")(receiver);
    receiver.attr(KORVANE_NAME("parent")) = func;
    call.attr("postinit")(py::arg("func") = func, py::arg("args") = py::list(),
                          py::arg("keywords") = py::list());
    py::object top = call;
    if (negated) {
        top = KORVANE_IMPORTED("astroid", "UnaryOp")(py::arg("op") = "not", py::arg("lineno") = line,
                                                     py::arg("col_offset") = column);
        top.attr("postinit")(call);
        call.attr(KORVANE_NAME("parent")) = top;
    }
    take_place(top, old_node);
    return top;
}

py::object count_receiver(py::handle call) {
    return call.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr"));
}

// Whether only the truth of `node`'s value is used: it is the operand of `not`, the
// test of an if, while, assert or conditional expression, a comprehension's
// condition, or an operand of a boolean operation whose own value is used so.
bool is_truth_test(py::handle node) {
    py::object parent = node.attr(KORVANE_NAME("parent"));
    if (korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "UnaryOp")))
        return korvane::is_text(parent.attr(KORVANE_NAME("op")), "not");
    if (korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "BoolOp"))) return is_truth_test(parent);
    if (korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "Comprehension")))
        return korvane::contains(parent.attr(KORVANE_NAME("ifs")), node);
    py::handle tests[] = {KORVANE_IMPORTED("astroid", "If"), KORVANE_IMPORTED("astroid", "While"),
                          KORVANE_IMPORTED("astroid", "IfExp"), KORVANE_IMPORTED("astroid", "Assert")};
    for (py::handle tested : tests) {
        if (korvane::isinstance(parent, tested)) return parent.attr(KORVANE_NAME("test")).ptr() == node.ptr();
    }
    return false;
}

// `len(X)` becomes `X.count()`, or `X.exists()` where only its truth is used: there a
// count would be reported in its turn.
py::object transform_queryset_length(py::object node) {
    py::object arg = node.attr(KORVANE_NAME("args"))[py::int_(0)];
    return call_on(arg, is_truth_test(node) ? "exists" : "count", node);
}

py::object transform_indirect_fk_lookup(py::object node) {
    py::object relation = node.attr(KORVANE_NAME("expr"));
    py::str attrname = korvane::concat(relation.attr(KORVANE_NAME("attrname")), py::str("_id"));
    py::object attribute = KORVANE_IMPORTED("astroid", "Attribute")(
        py::arg("attrname") = attrname, py::arg("lineno") = relation.attr(KORVANE_NAME("lineno")),
        py::arg("col_offset") = relation.attr(KORVANE_NAME("col_offset")));
    attribute.attr(KORVANE_NAME("expr")) = relation.attr(KORVANE_NAME("expr"));
    return attribute;
}

py::object transform_queryset_exists_compare(py::object node) {
    py::object receiver = count_receiver(node.attr(KORVANE_NAME("left")));
    bool negated = false;
    if (truthy(is_compare_not_exists(node.attr(KORVANE_NAME("ops"))))) {
        py::object parent = node.attr(KORVANE_NAME("parent"));
        // `not (X.count() == 0)` reads `X.exists()`; other unary operators keep their
        // meaning only with the negation written out.
        bool under_not = korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "UnaryOp")) &&
                         korvane::is_text(parent.attr(KORVANE_NAME("op")), "not");
        if (under_not) {
            parent.attr(KORVANE_NAME("op")) = py::str("");
        } else {
            negated = true;
        }
    }
    return call_on(receiver, "exists", node, negated);
}

// Replaces `field` of `holder` by `<X>.exists()`: X is the field itself, or the
// receiver of the count call it holds.
py::object replace_with_exists(py::object holder, const py::str& field, bool count_call) {
    py::object old = holder.attr(field);
    py::object receiver = count_call ? count_receiver(old) : old;
    holder.attr(field) = call_on(receiver, "exists", old);
    return holder;
}

py::object transform_queryset_exists_count_unaryop(py::object unaryop_node) {
    return replace_with_exists(unaryop_node, KORVANE_NAME("operand"), true);
}

py::object transform_queryset_exists_count_if(py::object if_node) {
    return replace_with_exists(if_node, KORVANE_NAME("test"), true);
}

py::object transform_queryset_exists_naked_unaryop(py::object unaryop_node) {
    return replace_with_exists(unaryop_node, KORVANE_NAME("operand"), false);
}

py::object transform_queryset_exists_naked_if(py::object if_node) {
    return replace_with_exists(if_node, KORVANE_NAME("test"), false);
}

// The astroid node classes the fixes apply to, besides calls.
py::object& attribute_kind() { return KORVANE_IMPORTED("astroid", "Attribute"); }
py::object& compare_kind() { return KORVANE_IMPORTED("astroid", "Compare"); }
py::object& unaryop_kind() { return KORVANE_IMPORTED("astroid", "UnaryOp"); }
py::object& if_kind() { return KORVANE_IMPORTED("astroid", "If"); }

const FixRow kFixRows[] = {
    {"C9000", &astroid_call, "transform_queryset_length", "is_queryset_length"},
    {"C9001", &attribute_kind, "transform_indirect_fk_lookup", "is_indirect_fk_lookup"},
    {"C9002", &compare_kind, "transform_queryset_exists_compare", "is_inefficient_queryset_exists"},
    {"C9002", &unaryop_kind, "transform_queryset_exists_count_unaryop", nullptr, "operand",
     &is_queryset_count},
    {"C9002", &if_kind, "transform_queryset_exists_count_if", nullptr, "test", &is_queryset_count},
    {"C9003", &unaryop_kind, "transform_queryset_exists_naked_unaryop", nullptr, "operand",
     &is_queryset_truth_test},
    {"C9003", &if_kind, "transform_queryset_exists_naked_if", nullptr, "test",
     &is_queryset_truth_test},
};

// The fix registry of the given codes, taken in text order; an unknown code adds nothing.
py::object build_transformer_visitor(py::object message_ids) {
    py::object visitor = state().helpers.attr("NodeTransformVisitor")();
    register_fix_rows(visitor, state().module, sorted_codes(message_ids), kFixRows);
    return visitor;
}

}  // namespace

void register_fixes(py::module_& m) {
    m.def("transform_queryset_length", &transform_queryset_length, py::arg("node"));
    m.def("transform_indirect_fk_lookup", &transform_indirect_fk_lookup, py::arg("node"));
    m.def("transform_queryset_exists_compare", &transform_queryset_exists_compare,
          py::arg("node"));
    m.def("transform_queryset_exists_count_unaryop", &transform_queryset_exists_count_unaryop,
          py::arg("unaryop_node"));
    m.def("transform_queryset_exists_count_if", &transform_queryset_exists_count_if,
          py::arg("if_node"));
    m.def("transform_queryset_exists_naked_unaryop", &transform_queryset_exists_naked_unaryop,
          py::arg("unaryop_node"));
    m.def("transform_queryset_exists_naked_if", &transform_queryset_exists_naked_if,
          py::arg("if_node"));
    m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
}

}  // namespace korvane::ormcalls

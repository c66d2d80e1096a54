// QuerySet fixes: rewrite len(), count() and truth tests into count() and exists(),
// and R.rel.pk into R.rel_id; plus the fix factory.
#include "ormcalls.hpp"


namespace ormcalls {

using korvane::truthy;

namespace {

// Source text of the expression that stays; wrapped in parentheses unless it binds
// at least as tightly as a trailing attribute access.  Kept as Python text: the
// source of an expression may hold any text.
py::str receiver_text(py::handle expr) {
    py::str text(expr.attr(KORVANE_NAME("as_string"))());
    static const py::object* tight = &korvane::keep(py::make_tuple(
        KORVANE_IMPORTED("astroid", "Name"), KORVANE_IMPORTED("astroid", "Attribute"),
        KORVANE_IMPORTED("astroid", "Call"), KORVANE_IMPORTED("astroid", "Subscript")));
    if (korvane::isinstance(expr, *tight)) return text;
    return korvane::concat(korvane::concat(py::str("("), text), py::str(")"));
}

py::object parse_like(py::handle text, py::handle old_node) {
    py::object parsed = KORVANE_IMPORTED("astroid", "extract_node")(text);
    return helpers().attr(KORVANE_NAME("preserve_metadata"))(py::arg("new_node") = parsed,
                                                             py::arg("old_node") = old_node);
}

py::object count_receiver(py::handle call) {
    return call.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr"));
}

py::object transform_queryset_length(py::object node) {
    py::object arg = node.attr(KORVANE_NAME("args"))[py::int_(0)];
    return parse_like(korvane::concat(receiver_text(arg), py::str(".count()")), node);
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
    py::str text = korvane::concat(receiver_text(count_receiver(node.attr(KORVANE_NAME("left")))),
                                   py::str(".exists()"));
    if (truthy(is_compare_not_exists(node.attr(KORVANE_NAME("ops"))))) {
        py::object parent = node.attr(KORVANE_NAME("parent"));
        // `not (X.count() == 0)` reads `X.exists()`; other unary operators keep their
        // meaning only with the negation written out.
        bool under_not = korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "UnaryOp")) &&
                         korvane::is_text(parent.attr(KORVANE_NAME("op")), "not");
        if (under_not) {
            parent.attr(KORVANE_NAME("op")) = py::str("");
        } else {
            text = korvane::concat(py::str("not "), text);
        }
    }
    return parse_like(text, node);
}

// Replaces `field` of `holder` by `<X>.exists()`: X is the field itself, or the
// receiver of the count call it holds.
py::object replace_with_exists(py::object holder, const py::str& field, bool count_call) {
    py::object old = holder.attr(field);
    py::object receiver = count_call ? count_receiver(old) : old;
    holder.attr(field) = parse_like(korvane::concat(receiver_text(receiver), py::str(".exists()")), old);
    return holder;
}

py::object registered(const char* name) { return self_module().attr(name); }

}  // namespace

void register_fixes(py::module_& m) {
    m.def("transform_queryset_length", &transform_queryset_length, py::arg("node"));
    m.def("transform_indirect_fk_lookup", &transform_indirect_fk_lookup, py::arg("node"));
    m.def("transform_queryset_exists_compare", &transform_queryset_exists_compare,
          py::arg("node"));
    m.def("transform_queryset_exists_count_unaryop",
          [](py::object n) { return replace_with_exists(n, KORVANE_NAME("operand"), true); },
          py::arg("unaryop_node"));
    m.def("transform_queryset_exists_count_if",
          [](py::object n) { return replace_with_exists(n, KORVANE_NAME("test"), true); },
          py::arg("if_node"));
    m.def("transform_queryset_exists_naked_unaryop",
          [](py::object n) { return replace_with_exists(n, KORVANE_NAME("operand"), false); },
          py::arg("unaryop_node"));
    m.def("transform_queryset_exists_naked_if",
          [](py::object n) { return replace_with_exists(n, KORVANE_NAME("test"), false); },
          py::arg("if_node"));

    m.def(
        "build_transformer_visitor",
        [](py::object message_ids) {
            py::object visitor = helpers().attr("NodeTransformVisitor")();
            py::object reg = visitor.attr("register_transform");
            py::list codes = py::reinterpret_steal<py::list>(PySequence_List(message_ids.ptr()));
            if (!codes) throw py::error_already_set();
            codes.attr("sort")();
            py::object Call = KORVANE_IMPORTED("astroid", "Call");
            py::object Attribute = KORVANE_IMPORTED("astroid", "Attribute");
            py::object Compare = KORVANE_IMPORTED("astroid", "Compare");
            py::object UnaryOp = KORVANE_IMPORTED("astroid", "UnaryOp");
            py::object If = KORVANE_IMPORTED("astroid", "If");
            py::object codes_cls = self_module().attr("Codes");
            auto is = [&](py::handle code, const char* own) {
                int r = PyObject_RichCompareBool(code.ptr(), codes_cls.attr(own).ptr(), Py_EQ);
                if (r < 0) throw py::error_already_set();
                return r == 1;
            };
            // Predicates on a node's operand or test, made afresh for each registration.
            auto on_field = [](const char* field, py::object (*test)(py::handle)) {
                std::string name = field;
                return py::cpp_function([name, test](py::object node) {
                    return test(node.attr(name.c_str()));
                });
            };
            for (py::handle code : codes) {
                if (is(code, "C9000"))
                    reg(Call, registered("transform_queryset_length"),
                        registered("is_queryset_length"));
                if (is(code, "C9001"))
                    reg(Attribute, registered("transform_indirect_fk_lookup"),
                        registered("is_indirect_fk_lookup"));
                if (is(code, "C9002")) {
                    reg(Compare, registered("transform_queryset_exists_compare"),
                        registered("is_inefficient_queryset_exists"));
                    reg(UnaryOp, registered("transform_queryset_exists_count_unaryop"),
                        on_field("operand", is_queryset_count));
                    reg(If, registered("transform_queryset_exists_count_if"),
                        on_field("test", is_queryset_count));
                }
                if (is(code, "C9003")) {
                    reg(UnaryOp, registered("transform_queryset_exists_naked_unaryop"),
                        on_field("operand", is_queryset_truth_test));
                    reg(If, registered("transform_queryset_exists_naked_if"),
                        on_field("test", is_queryset_truth_test));
                }
            }
            return visitor;
        },
        py::arg("message_ids"));
}

}  // namespace ormcalls

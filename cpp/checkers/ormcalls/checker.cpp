// The QuerySet checker plug-in and its message codes.
#include "ormcalls.hpp"

namespace ormcalls {

using korvane::truthy;

namespace {

const char* const kCodes[] = {"C9000", "C9001", "C9002", "C9003"};

void report(py::handle self, const char* code, py::handle node, py::dict args) {
    self.attr(KORVANE_NAME("add_message"))(py::str(code), py::arg("node") = node,
                                            py::arg("args") = args);
}

py::str source(py::handle node) { return node.attr(KORVANE_NAME("as_string"))(); }

py::dict queryset_args(py::handle expr) {
    py::dict args;
    args["queryset"] = source(expr);
    return args;
}

py::object count_receiver(py::handle call) {
    return call.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr"));
}

}  // namespace

void register_checker(py::module_& m) {
    py::dict codes_ns;
    for (const char* code : kCodes) codes_ns[code] = py::str(code);
    korvane::make_class(m, "Codes", py::make_tuple(), codes_ns);

    py::object cls = korvane::make_checker_class(
        m, "ormcalls", nullptr,
        {{"C9000", "queryset-length", "Detects using len(queryset) instead of queryset.count()"},
         {"C9001", "indirect-foreign-key", "Traversting foo.bar.pk instead of using foo.bar_pk"},
         {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
         {"C9003", "truthy-instead-exists",
          "Using truthy/falsey check on queryset when exists could be better"}});

    // Whether a QuerySet is evaluated later is answered once per function while the
    // checker walks a module.
    korvane::def_method(cls, "visit_module",
                        [](py::object, py::object node) { walk_memo().open(node); });
    korvane::def_method(cls, "leave_module",
                        [](py::object, py::object node) { walk_memo().close(node); });
    korvane::def_method(cls, "visit_call", [](py::object self, py::object node) {
        if (truthy(is_queryset_length(node))) {
            py::dict args;
            args["foo"] = "bar";
            report(self, "C9000", node, args);
        }
    });
    korvane::def_method(cls, "visit_attribute", [](py::object self, py::object node) {
        if (!truthy(is_indirect_fk_lookup(node))) return;
        py::object relation = node.attr(KORVANE_NAME("expr"));
        py::object receiver = relation.attr(KORVANE_NAME("expr"));
        py::object name = korvane::getattr_or_null(receiver, KORVANE_NAME("name"));
        py::dict args;
        args["me"] = (name && py::isinstance<py::str>(name)) ? name : py::str("model");
        args["related_name"] = relation.attr(KORVANE_NAME("attrname"));
        args["pk_attribute"] = node.attr(KORVANE_NAME("attrname"));
        report(self, "C9001", node, args);
    });
    korvane::def_method(cls, "visit_compare", [](py::object self, py::object node) {
        py::object left = node.attr(KORVANE_NAME("left"));
        if (truthy(is_inefficient_queryset_exists(node))) {
            report(self, "C9002", node.attr(KORVANE_NAME("statement"))(),
                   queryset_args(count_receiver(left)));
        } else if (truthy(is_queryset_length_exists(node))) {
            report(self, "C9002", node.attr(KORVANE_NAME("statement"))(),
                   queryset_args(left.attr(KORVANE_NAME("args"))[py::int_(0)]));
        }
    });
    korvane::def_method(cls, "visit_if", [](py::object self, py::object node) {
        py::object test = node.attr(KORVANE_NAME("test"));
        if (truthy(is_queryset_count(test))) {
            report(self, "C9002", node, queryset_args(count_receiver(test)));
        } else if (truthy(is_queryset_truth_test(test))) {
            report(self, "C9003", node, queryset_args(test));
        }
    });
    korvane::def_method(cls, "visit_unaryop", [](py::object self, py::object node) {
        py::object operand = node.attr(KORVANE_NAME("operand"));
        if (truthy(is_queryset_count(operand))) {
            report(self, "C9002", node, queryset_args(count_receiver(operand)));
        } else if (truthy(is_queryset_truth_test(operand))) {
            report(self, "C9003", node, queryset_args(operand));
        }
    });
}

}  // namespace ormcalls

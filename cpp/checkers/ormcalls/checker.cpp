// The QuerySet checker plug-in: a table of its messages and one named visit function
// per node kind.
#include "ormcalls.hpp"

namespace korvane::ormcalls {

namespace {

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

// Whether a QuerySet is evaluated later is answered once per function while the
// checker walks a module.
void visit_module(py::object, py::object node) { state().walk_memo.open(node); }

void leave_module(py::object, py::object node) { state().walk_memo.close(node); }

void visit_call(py::object self, py::object node) {
    if (!truthy(is_queryset_length(node))) return;
    // A finding's message is its args mapping, and its words are made from the code
    // elsewhere.  The len() finding needs no particulars, so it carries this one fixed
    // mapping, whatever the call: the key its wording and the reports have always had.
    py::dict args;
    args["foo"] = "bar";
    report(self, "C9000", node, args);
}

void visit_attribute(py::object self, py::object node) {
    if (!truthy(is_indirect_fk_lookup(node))) return;
    py::object relation = node.attr(KORVANE_NAME("expr"));
    py::object receiver = relation.attr(KORVANE_NAME("expr"));
    py::object name = getattr_or_null(receiver, KORVANE_NAME("name"));
    py::dict args;
    args["me"] = (name && py::isinstance<py::str>(name)) ? name : py::str("model");
    args["related_name"] = relation.attr(KORVANE_NAME("attrname"));
    args["pk_attribute"] = node.attr(KORVANE_NAME("attrname"));
    report(self, "C9001", node, args);
}

void visit_compare(py::object self, py::object node) {
    py::object left = node.attr(KORVANE_NAME("left"));
    if (truthy(is_inefficient_queryset_exists(node))) {
        report(self, "C9002", node.attr(KORVANE_NAME("statement"))(),
               queryset_args(count_receiver(left)));
    } else if (truthy(is_queryset_length_exists(node))) {
        report(self, "C9002", node.attr(KORVANE_NAME("statement"))(),
               queryset_args(left.attr(KORVANE_NAME("args"))[py::int_(0)]));
    }
}

// The test of an `if` and the operand of a unary operator are judged alike: a count()
// that exists() would serve, else a truth test of a QuerySet.
void report_truth_use(py::handle self, py::handle node, py::handle tested) {
    if (truthy(is_queryset_count(tested))) {
        report(self, "C9002", node, queryset_args(count_receiver(tested)));
    } else if (truthy(is_queryset_truth_test(tested))) {
        report(self, "C9003", node, queryset_args(tested));
    }
}

void visit_if(py::object self, py::object node) {
    report_truth_use(self, node, node.attr(KORVANE_NAME("test")));
}

void visit_unaryop(py::object self, py::object node) {
    report_truth_use(self, node, node.attr(KORVANE_NAME("operand")));
}

}  // namespace

void register_checker(py::module_& m) {
    py::object cls = make_checker_class(
        m, "ormcalls", nullptr,
        {{"C9000", "queryset-length", "Detects using len(queryset) instead of queryset.count()"},
         {"C9001", "indirect-foreign-key", "Traversting foo.bar.pk instead of using foo.bar_pk"},
         {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
         {"C9003", "truthy-instead-exists",
          "Using truthy/falsey check on queryset when exists could be better"}});
    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_module", &leave_module);
    def_method(cls, "visit_call", &visit_call);
    def_method(cls, "visit_attribute", &visit_attribute);
    def_method(cls, "visit_compare", &visit_compare);
    def_method(cls, "visit_if", &visit_if);
    def_method(cls, "visit_unaryop", &visit_unaryop);
}

}  // namespace korvane::ormcalls

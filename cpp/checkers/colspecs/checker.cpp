// The model field checker: runs the predicates on every field declaration of a
// model and counts the declarations of each model class.
#include "colspecs.hpp"

namespace korvane::colspecs {

namespace {

py::object* codes_ = nullptr;

py::object code(const char* name) { return codes_->attr(name); }

py::object predicate(const py::str& name) { return self_module().attr(name); }

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
    self.attr(KORVANE_NAME("add_message"))(code(code_name), py::arg("node") = node,
                                           py::arg("args") = args);
}

// Whether the module being walked is a migration module.  The answer depends on the
// module alone, so it is asked at the first node that needs it and kept on the checker
// until the next module.
bool in_migration_module(py::handle self, py::handle node) {
    py::object known = getattr_or_null(self, KORVANE_NAME("in_migration_module"));
    if (known && !known.is_none()) return truthy(known);
    bool answer = truthy(helper(KORVANE_NAME("is_migration_file"))(node));
    self.attr(KORVANE_NAME("in_migration_module")) = py::bool_(answer);
    return answer;
}

void visit_module(py::object self, py::object node) {
    self.attr(KORVANE_NAME("field_counter")) = KORVANE_IMPORTED("collections", "Counter")();
    self.attr(KORVANE_NAME("in_migration_module")) = py::none();
    walk_memo().open(node);
}

void leave_module(py::object, py::object node) { walk_memo().close(node); }

void leave_classdef(py::object self, py::object node) {
    if (!truthy(ask_helper(KORVANE_NAME("is_model"), node))) return;
    py::object count = self.attr(KORVANE_NAME("field_counter"))[node];
    py::object maximum = self.attr(KORVANE_NAME("config")).attr(KORVANE_NAME("max_colspecs"));
    int r = PyObject_RichCompareBool(count.ptr(), maximum.ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    if (!r) return;
    py::dict args;
    args["count"] = count;
    report(self, "C2001", node, args);
}

void visit_keyword(py::object self, py::object node) {
    if (in_migration_module(self, node)) return;
    py::object field = node.attr(KORVANE_NAME("parent"));
    if (!truthy(ask_helper(KORVANE_NAME("is_model_field"), field))) return;
    if (is_field_argument(field)) return;
    if (truthy(predicate(KORVANE_NAME("is_redundant_kwargs"))(node))) {
        py::dict args;
        args["name"] = helper(KORVANE_NAME("get_member_name"))(field);
        args["option"] = node.attr(KORVANE_NAME("arg"));
        args["value"] = helper(KORVANE_NAME("astroid_node_to_value"))(node.attr(KORVANE_NAME("value")));
        report(self, "C2002", field, args);
    }
    if (truthy(predicate(KORVANE_NAME("is_fragile_unique_for"))(node))) {
        py::dict args;
        args["name"] = helper(KORVANE_NAME("get_member_name"))(field);
        args["option"] = node.attr(KORVANE_NAME("arg"));
        report(self, "C2004", field, args);
    }
}

void visit_call(py::object self, py::object node) {
    if (in_migration_module(self, node)) return;
    if (!truthy(ask_helper(KORVANE_NAME("is_model_field"), node))) return;
    // The base field of an ArrayField is part of the outer declaration: it is neither
    // counted nor reported under the outer field's name.
    if (is_field_argument(node)) return;
    py::object name = helper(KORVANE_NAME("get_member_name"))(node);
    if (!truthy(name)) return;

    py::object counter = self.attr(KORVANE_NAME("field_counter"));
    py::object scope = node.attr(KORVANE_NAME("scope"))();
    py::object current = counter[scope];
    counter[scope] = current + py::int_(1);

    auto name_only = [&name] {
        py::dict args;
        args["name"] = name;
        return args;
    };
    if (truthy(predicate(KORVANE_NAME("is_huge_char_field"))(node))) {
        // The reported length is the one written in the call; None when the
        // huge length comes from the field class's own default.
        py::object explicit_args = helper(KORVANE_NAME("get_node_explicit_arguments"))(node);
        py::dict args;
        args["name"] = name;
        args["value"] = get_item(explicit_args, KORVANE_NAME("max_length"));
        report(self, "C2006", node, args);
    }
    if (truthy(predicate(KORVANE_NAME("is_null_stringfield"))(node)))
        report(self, "C2000", node, name_only());
    if (truthy(predicate(KORVANE_NAME("is_fk_mising_related_name"))(node)))
        report(self, "C2005", node, name_only());
    if (truthy(predicate(KORVANE_NAME("is_nullboolean"))(node)))
        report(self, "C2008", node, name_only());
    if (truthy(predicate(KORVANE_NAME("is_non_unique_fk"))(node)))
        report(self, "C2011", node, name_only());
    if (truthy(predicate(KORVANE_NAME("is_missing_blank_true"))(node)))
        report(self, "C2003", node, name_only());
}

}  // namespace

WalkMemo& walk_memo() {
    static WalkMemo memo;
    return memo;
}

void register_checker(py::module_& m) {
    codes_ = &keep(m.attr("Codes"));
    py::object cls = make_checker_class(
        m, "colspecs", "Reports findings on Django model field declarations.",
        {
        {"C2000", "nullable-string-field", "Nullable"},
        {"C2001", "tall-model", "Too many fields"},
        {"C2002", "redundant-default-args", "Implicit false"},
        {"C2003", "field-null-not-blank", "Field not nullable"},
        {"C2004", "brittle-unique-for", "Brittle unique"},
        {"C2005", "missing-related-name", "ForeignKey missing"},
        {"C2006", "huge-max-length", "Huge charfield max_length"},
        {"C2008", "deprecated-nullboolean-field", "Nullable BooleanField"},
        {"C2011", "non-unique-primary", "Non-unique primary key"},
        },
        {{"max-colspecs", 20, "Maximum number of fields for a model"},
         {"max-charfield-length", 512, "Maximum size of max_length on a CharField"}});

    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_module", &leave_module);
    def_method(cls, "leave_classdef", &leave_classdef);
    def_method(cls, "visit_keyword", &visit_keyword);
    def_method(cls, "visit_call", &visit_call);
}

}  // namespace korvane::colspecs

// The model field checker: runs the predicates on every field declaration of a
// model and counts the declarations of each model class.
#include "colspecs.hpp"

namespace korvane::colspecs {

namespace {

py::object predicate(const py::str& name) { return module_attr(name); }

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
    py::object code = module_attr(KORVANE_NAME("Codes")).attr(code_name);
    self.attr(KORVANE_NAME("add_message"))(code, py::arg("node") = node, py::arg("args") = args);
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
    state().walk_memo.open(node);
}

void leave_module(py::object, py::object node) { state().walk_memo.close(node); }

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

// ---- the names relied on as None, for the analysis's project-wide index ----
// Collected on the walk of every module but migrations, whose code runs against the
// models as they stood at that migration; a worker process hands its share to the
// analysis after each file (get_map_data), and the analysis merges the shares
// (reduce_map_data).

py::set relied_names(py::handle self) {
    py::object names = getattr_or_null(self, KORVANE_NAME("null_reliant_names"));
    if (!names) {
        names = py::set();
        self.attr(KORVANE_NAME("null_reliant_names")) = names;
    }
    return py::reinterpret_borrow<py::set>(names);
}

void collect_reliance(py::object self, py::object node) {
    if (in_migration_module(self, node)) return;
    py::set names = relied_names(self);
    add_null_reliance(node, names);
}

// The names collected since the last call, which are then forgotten here.
py::list get_map_data(py::object self) {
    py::set names = relied_names(self);
    py::list shared(names);
    names.clear();
    return shared;
}

void reduce_map_data(py::object self, py::object, py::object shares) {
    py::set names = relied_names(self);
    for (py::handle share : shares)
        for (py::handle name : share) names.add(name);
}

void visit_keyword(py::object self, py::object node) {
    collect_reliance(self, node);
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

// Counts one field declaration of the model that holds it.
void count_declaration(py::handle self, py::handle node) {
    py::object counter = self.attr(KORVANE_NAME("field_counter"));
    py::object scope = node.attr(KORVANE_NAME("scope"))();
    py::object current = counter[scope];
    counter[scope] = current + py::int_(1);
}

// C2006 on a CharField whose max_length is huge.  The reported length is the one
// written in the call; None when the huge length comes from the field class's own
// default.
void check_huge_char_field(py::handle self, py::handle node, py::handle name) {
    if (!truthy(predicate(KORVANE_NAME("is_huge_char_field"))(node))) return;
    py::object explicit_args = helper(KORVANE_NAME("get_node_explicit_arguments"))(node);
    py::dict args;
    args["name"] = name;
    args["value"] = get_item(explicit_args, KORVANE_NAME("max_length"));
    report(self, "C2006", node, args);
}

// The findings on a field call whose only argument is the field's name, in the
// order they are reported: predicate -> code.
struct NameFinding {
    const char* predicate;
    const char* code;
};
const NameFinding kNameFindings[] = {
    {"is_null_stringfield", "C2000"},
    {"is_fk_mising_related_name", "C2005"},
    {"is_nullboolean", "C2008"},
    {"is_non_unique_fk", "C2011"},
    {"is_missing_blank_true", "C2003"},
};

void visit_call(py::object self, py::object node) {
    if (in_migration_module(self, node)) return;
    if (!truthy(ask_helper(KORVANE_NAME("is_model_field"), node))) return;
    // The base field of an ArrayField is part of the outer declaration: it is neither
    // counted nor reported under the outer field's name.
    if (is_field_argument(node)) return;
    py::object name = helper(KORVANE_NAME("get_member_name"))(node);
    if (!truthy(name)) return;
    count_declaration(self, node);
    check_huge_char_field(self, node, name);
    for (const NameFinding& finding : kNameFindings) {
        if (!truthy(predicate(finding.predicate)(node))) continue;
        py::dict args;
        args["name"] = name;
        report(self, finding.code, node, args);
    }
}

}  // namespace

void register_checker(py::module_& m) {
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
        // A model of more than 20 counted fields is reported as tall.  The second
        // option is declared so that the linter accepts it as a setting; the huge
        // field test reads MAX_CHARFIELD_LENGTH.
        {{"max-colspecs", 20, "Maximum number of fields for a model"},
         {"max-charfield-length", kMaxCharfieldLength, "Maximum size of max_length on a CharField"}});

    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_module", &leave_module);
    def_method(cls, "leave_classdef", &leave_classdef);
    def_method(cls, "visit_keyword", &visit_keyword);
    def_method(cls, "visit_call", &visit_call);
    def_method(cls, "visit_assign", &collect_reliance);
    def_method(cls, "visit_annassign", &collect_reliance);
    def_method(cls, "visit_compare", &collect_reliance);
    def_method(cls, "get_map_data", &get_map_data);
    def_method(cls, "reduce_map_data", &reduce_map_data, py::arg("linter"), py::arg("data"));
}

}  // namespace korvane::colspecs

// The names of fields whose NULL code relies on: an attribute of that name given None
// (`order.kind = None`) or compared with None (`self.kind is None`, `== None`,
// `is not None`), a keyword of that name passed None (`Delivery(kind=None)`,
// `filter(order__kind=None)`), or a lookup `<name>__isnull` (a filter, a Q object, a
// constraint).  A lookup path names each of its fields: `order__kind__isnull` relies on
// `order` and `kind`.
//
// The rule is read off astroid trees (the checker's walk, the model's own module) and
// off the parser's own trees for the modules of a project that the analysis does not
// lint; both readings give the same names.
#include "colspecs.hpp"

#include <korvane/text.hpp>

#include <algorithm>

namespace korvane::colspecs {

namespace {

// Adds the fields of a lookup written as a keyword: its segments, less a final `isnull`.
void add_lookup_names(py::handle arg, py::set& names) {
    py::list parts = arg.attr("split")("__");
    Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n > 1 && is_text(parts[n - 1], "isnull")) --n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle part = PyList_GET_ITEM(parts.ptr(), i);
        if (PyUnicode_GET_LENGTH(part.ptr()) > 0) names.add(part);
    }
}

bool is_null_lookup(py::handle arg) {
    Py_ssize_t r = PyUnicode_Tailmatch(arg.ptr(), KORVANE_NAME("__isnull").ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// A keyword relies on None when it passes None or is an `__isnull` lookup.
void add_keyword(py::handle arg, bool passes_none, py::set& names) {
    if (!PyUnicode_Check(arg.ptr())) return;  // a ** spread
    if (passes_none || is_null_lookup(arg)) add_lookup_names(arg, names);
}

// ---- astroid trees ----

bool is_none(py::handle node) {
    return korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Const")) &&
           node.attr(KORVANE_NAME("value")).is_none();
}

// The attribute name of an attribute node (`x.kind`, `x.kind = ...`), else null.
py::object attribute_name(py::handle node) {
    if (!korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Attribute")) &&
        !korvane::isinstance(node, KORVANE_IMPORTED("astroid", "AssignAttr")))
        return py::object();
    return node.attr(KORVANE_NAME("attrname"));
}

bool tests_against_none(py::handle op) {
    return is_text(op, "is") || is_text(op, "is not") || is_text(op, "==") || is_text(op, "!=");
}

void add_compare(py::handle node, py::set& names) {
    py::object left = node.attr(KORVANE_NAME("left"));
    for (py::handle pair : node.attr(KORVANE_NAME("ops"))) {
        py::object op = pair[py::int_(0)], right = pair[py::int_(1)];
        if (tests_against_none(op)) {
            py::object side = is_none(right) ? left : is_none(left) ? right : py::object();
            py::object name = side ? attribute_name(side) : py::object();
            if (name) names.add(name);
        }
        left = right;
    }
}

void add_assigned(py::handle target, py::set& names) {
    py::object name = attribute_name(target);
    if (name) names.add(name);
}

// ---- the parser's trees ----

struct AstClasses {
    py::object compare, assign, ann_assign, keyword, attribute, constant;
    py::tuple none_tests;  // is, is not, ==, !=
};

const AstClasses& ast_classes() {
    static const AstClasses* classes = [] {
        py::module_ ast = py::module_::import("ast");
        return new AstClasses{ast.attr("Compare"), ast.attr("Assign"), ast.attr("AnnAssign"),
                              ast.attr("keyword"), ast.attr("Attribute"), ast.attr("Constant"),
                              py::make_tuple(ast.attr("Is"), ast.attr("IsNot"), ast.attr("Eq"),
                                             ast.attr("NotEq"))};
    }();
    return *classes;
}

bool ast_is_none(py::handle node) {
    return node && !node.is_none() && korvane::isinstance(node, ast_classes().constant) &&
           node.attr(KORVANE_NAME("value")).is_none();
}

void ast_add_attribute(py::handle node, py::set& names) {
    if (korvane::isinstance(node, ast_classes().attribute)) names.add(node.attr(KORVANE_NAME("attr")));
}

void ast_add_compare(py::handle node, py::set& names) {
    const AstClasses& c = ast_classes();
    py::object left = node.attr(KORVANE_NAME("left"));
    py::object ops = node.attr(KORVANE_NAME("ops"));
    py::object comparators = node.attr(KORVANE_NAME("comparators"));
    Py_ssize_t n = std::min(py::len(ops), py::len(comparators));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object op = ops[py::int_(i)], right = comparators[py::int_(i)];
        if (korvane::isinstance(op, c.none_tests)) {
            if (ast_is_none(right)) ast_add_attribute(left, names);
            else if (ast_is_none(left)) ast_add_attribute(right, names);
        }
        left = right;
    }
}

void ast_add_node(py::handle node, py::set& names) {
    const AstClasses& c = ast_classes();
    if (korvane::isinstance(node, c.compare)) {
        ast_add_compare(node, names);
    } else if (korvane::isinstance(node, c.assign)) {
        if (!ast_is_none(node.attr(KORVANE_NAME("value")))) return;
        for (py::handle target : node.attr(KORVANE_NAME("targets"))) ast_add_attribute(target, names);
    } else if (korvane::isinstance(node, c.ann_assign)) {
        if (ast_is_none(node.attr(KORVANE_NAME("value"))))
            ast_add_attribute(node.attr(KORVANE_NAME("target")), names);
    } else if (korvane::isinstance(node, c.keyword)) {
        bool passes_none = ast_is_none(node.attr(KORVANE_NAME("value")));
        add_keyword(node.attr(KORVANE_NAME("arg")), passes_none, names);
    }
}

// Whether a parsed module is a migration: one of its classes derives from a class
// named Migration (`migrations.Migration`), as the checker's ancestry test finds it.
bool ast_is_migration(py::handle tree) {
    py::handle classdef = KORVANE_IMPORTED("ast", "ClassDef");
    for (py::handle statement : tree.attr(KORVANE_NAME("body"))) {
        if (!korvane::isinstance(statement, classdef)) continue;
        for (py::handle base : statement.attr(KORVANE_NAME("bases"))) {
            py::object name = korvane::isinstance(base, ast_classes().attribute)
                                  ? getattr_or_null(base, KORVANE_NAME("attr"))
                                  : getattr_or_null(base, KORVANE_NAME("id"));
            if (name && is_text(name, "Migration")) return true;
        }
    }
    return false;
}

// The names a module's source relies on as None, read with the parser's own trees;
// none for a migration, whose code runs against the models of its own time.  A source
// that does not parse raises the parser's error.
py::set null_reliant_names_in_source(py::object source, py::object filename) {
    py::module_ ast = py::module_::import("ast");
    py::object tree = py::module_::import("builtins").attr("compile")(
        source, filename, "exec", ast.attr("PyCF_ONLY_AST"), py::arg("dont_inherit") = true);
    py::set names;
    if (ast_is_migration(tree)) return names;
    for (py::handle node : ast.attr("walk")(tree)) ast_add_node(node, names);
    return names;
}

// Sets the index of names relied on as None that the predicates add to the model's own
// module, for a fix and the lint of its text; None drops it.
void use_null_index(py::object names) {
    state().null_index = names.is_none() ? py::object() : py::object(py::frozenset(names));
}

}  // namespace

void add_null_reliance(py::handle node, py::set& names) {
    if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Compare"))) {
        add_compare(node, names);
    } else if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Assign"))) {
        if (!is_none(node.attr(KORVANE_NAME("value")))) return;
        for (py::handle target : node.attr(KORVANE_NAME("targets"))) add_assigned(target, names);
    } else if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "AnnAssign"))) {
        py::object value = node.attr(KORVANE_NAME("value"));
        if (!value.is_none() && is_none(value)) add_assigned(node.attr(KORVANE_NAME("target")), names);
    } else if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "Keyword"))) {
        add_keyword(node.attr(KORVANE_NAME("arg")), is_none(node.attr(KORVANE_NAME("value"))), names);
    }
}

py::set null_reliant_names(py::handle module) {
    py::set names;
    py::tuple kinds = py::make_tuple(
        KORVANE_IMPORTED("astroid", "Compare"), KORVANE_IMPORTED("astroid", "Assign"),
        KORVANE_IMPORTED("astroid", "AnnAssign"), KORVANE_IMPORTED("astroid", "Keyword"));
    for (py::handle node : module.attr(KORVANE_NAME("nodes_of_class"))(kinds))
        add_null_reliance(node, names);
    return names;
}

bool in_null_index(py::handle name) {
    py::object index = state().null_index;
    return index && contains(index, name);
}

void register_null_reliance(py::module_& m) {
    (void)ast_classes();
    m.def("_null_reliant_names_in_source", &null_reliant_names_in_source, py::arg("source"),
          py::arg("filename"),
          "The names of fields a module's source relies on as None (given or compared "
          "with None, passed None, an __isnull lookup).");
    m.def("_use_null_index", &use_null_index, py::arg("names"),
          "Names relied on as None elsewhere in the project: the nullable-string test "
          "leaves fields of these names alone; None drops them.");
}

}  // namespace korvane::colspecs

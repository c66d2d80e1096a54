// The lazy-reverse fix: `reverse_lazy(...)` in a function body becomes `reverse(...)`,
// and the module's import from django.urls is edited once per tree.
#include "urls.hpp"

#include <korvane/declined_fixes.hpp>
#include <korvane/fix_rows.hpp>
#include <korvane/import_names.hpp>

#include <vector>

namespace korvane::urls {

namespace {

// The first import-from statement of django.urls in the module, or a null object.
py::object first_django_urls_import(py::handle module_node) {
    py::object imports = module_node.attr(KORVANE_NAME("nodes_of_class"))(
        KORVANE_IMPORTED("astroid", "ImportFrom"));
    for (py::handle imp : imports) {
        if (korvane::is_text(imp.attr(KORVANE_NAME("modname")), "django.urls"))
            return py::reinterpret_borrow<py::object>(imp);
    }
    return py::object();
}

// Whether the module still needs the name `bound` once its misused `reverse_lazy`
// calls are rewritten: any use of the name other than the callee of a misused call.
// A suggestion rewrites one call and must be right applied alone, with the others
// still as written: on the suggestion road (the module collects the statements fixes
// edit) every other use counts, misused or not.
bool name_still_used(py::handle module_node, py::handle bound) {
    py::object names =
        module_node.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Name"));
    py::handle call_cls = KORVANE_IMPORTED("astroid", "Call");
    bool one_at_a_time = PyObject_HasAttr(module_node.ptr(), KORVANE_NAME("replace_other_nodes").ptr());
    long misused = 0;
    for (py::handle name : names) {
        if (!equals(name.attr(KORVANE_NAME("name")), bound)) continue;
        py::object parent = name.attr(KORVANE_NAME("parent"));
        bool misused_callee = korvane::isinstance(parent, call_cls) &&
                              parent.attr(KORVANE_NAME("func")).ptr() == name.ptr() &&
                              korvane::truthy(is_misusing_reverse_lazy(parent));
        if (!misused_callee) return true;
        ++misused;
    }
    // the call being rewritten now is one of the misused ones
    return one_at_a_time && misused > 1;
}

// Drops the first `reverse_lazy` entry when the module no longer needs the name it
// binds.  Whether it was dropped.
bool drop_unused_reverse_lazy(std::vector<ImportEntry>& entries, py::handle module_node) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!korvane::is_text(it->name, "reverse_lazy")) continue;
        if (name_still_used(module_node, it->alias.is_none() ? it->name : it->alias)) return false;
        entries.erase(it);
        return true;
    }
    return false;
}

// Edits the names of the import statement `imp`, and offers the statement to the
// module's list of other nodes to rewrite, when it keeps one.
void edit_import(py::handle module_node, py::handle imp, py::handle modname) {
    std::vector<ImportEntry> entries = import_entries(imp);
    bool added = add_import_entry(entries, modname);
    bool dropped = drop_unused_reverse_lazy(entries, module_node);
    if (added || dropped) set_import_entries(imp, entries);
    hand_on_edited(module_node, imp);
}

// Edits the module's django.urls import once per tree: the marker attribute
// `skip_<modname>` records that it was done.  The import text is not needed: the
// existing statement is edited, and none is added where the module has none.
void ensure_import(py::object module_node, py::object modname, py::object import_string) {
    (void)import_string;
    py::str marker = korvane::concat(py::str("skip_"), py::str(modname));
    if (py::hasattr(module_node, marker)) return;
    py::object imp = first_django_urls_import(module_node);
    if (imp) edit_import(module_node, imp, modname);
    py::setattr(module_node, marker, py::bool_(true));
}

// The name under which the module's django.urls import provides `reverse`, or a null
// object when the module has no such import.
py::object reverse_name(py::handle module_node) {
    py::object imp = first_django_urls_import(module_node);
    if (!imp) return py::object();
    py::object aliased;
    for (py::handle pair : imp.attr(KORVANE_NAME("names"))) {
        py::object name = pair[py::int_(0)];
        py::object alias = pair[py::int_(1)];
        bool is_reverse = korvane::is_text(name, "reverse");
        if (korvane::is_text(name, "*") || (is_reverse && alias.is_none())) return py::str("reverse");
        if (is_reverse && !aliased) aliased = alias;
    }
    return aliased;
}

py::object transform_reverse_lazy_to_reverse(py::object call_node) {
    py::object module_node = call_node.attr(KORVANE_NAME("root"))();
    state().module.attr("ensure_import")(py::arg("module_node") = module_node,
                                        py::arg("modname") = "reverse",
                                        py::arg("import_string") = "from django.urls import reverse");
    // Without an import from django.urls nothing provides `reverse`: the call stays.
    py::object name = reverse_name(module_node);
    if (!name) {
        decline_fix(call_node, "C6002", py::str("the module has no import from django.urls to add reverse to"));
        return call_node;
    }
    state().helpers.attr(KORVANE_NAME("set_function_name"))(py::arg("node") = call_node,
                                                      py::arg("new_name") = name);
    return call_node;
}

const FixRow kFixRows[] = {
    {"C6002", &astroid_call, "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy"},
};

// The fix registry of the given codes: the lazy-reverse fix once for each C6002 among
// them (taken in text order); any other code adds nothing.
py::object build_transformer_visitor(py::object message_ids) {
    py::object visitor = state().helpers.attr("NodeTransformVisitor")();
    register_fix_rows(visitor, state().module, sorted_codes(message_ids), kFixRows);
    return visitor;
}

}  // namespace

void register_fixes(py::module_& m) {
    m.def("ensure_import", &ensure_import, py::arg("module_node"), py::arg("modname"),
          py::arg("import_string"));
    m.def("transform_reverse_lazy_to_reverse", &transform_reverse_lazy_to_reverse,
          py::arg("call_node"));
    m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
}

}  // namespace korvane::urls

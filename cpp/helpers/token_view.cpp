// The token view: an astroid tree parsed with the Django inference transforms of a
// fresh registry, joined by asttokens to its tokens, optionally with a placeholder
// call for every blank line and whole-line comment (placeholders.cpp); and the tree
// searches and the insertion step that say where a node of a given line belongs.
#include "helpers.hpp"

namespace korvane::helpers {

namespace {

py::object find_statement_by_line(py::handle tree, py::handle line) {
    return KORVANE_IMPORTED("astroid.builder", "_find_statement_by_line")(tree, line);
}

// The scope (module, class or function) whose body a node on `line` joins: that of
// the first node found on the line, or on the nearest line above that has one.
py::object find_node_parent(py::object tree, long long line) {
    for (; line >= 0; --line) {
        py::object node = find_statement_by_line(tree, py::int_(line));
        if (!node.is_none()) {
            return node.attr(KORVANE_NAME("statement"))().attr(KORVANE_NAME("scope"))();
        }
    }
    // Only a tree that is not a module (whose line 0 always matches) gets here.
    return tree.attr(KORVANE_NAME("scope"))();
}

py::object find_node_by_position(py::object tree, py::object line) {
    py::object node = find_statement_by_line(tree, line);
    if (!truthy(node)) return py::none();
    return node.attr(KORVANE_NAME("statement"))();
}

void add_node(py::object tree, py::object node, long long line_number) {
    py::object parent = find_node_parent(tree, line_number);
    node.attr(KORVANE_NAME("lineno")) = py::int_(line_number);
    parent.attr(KORVANE_NAME("_append_node"))(node);
    sort_body_by_line(parent);
}

// Parses the source with the view's own transforms: exactly those that
// `shims.register_transforms` puts on a fresh registry.  The text is built without
// transforms through the process-wide manager, then that one tree is visited with
// the view's registry.  The process-wide registry is never replaced, so a library
// module first built meanwhile (while a transform infers into Django) is built and
// cached with the library's own transforms, as it is anywhere else.
py::object parse_with_own_transforms(py::object shims, py::object source, py::object modname,
                                     py::object absolute_path) {
    py::object registry = KORVANE_IMPORTED("astroid.transforms", "TransformVisitor")();
    // What `register_transforms` registers on: the registry, offered with the
    // registration names of a manager.
    py::object view_manager = KORVANE_IMPORTED("types", "SimpleNamespace")(
        py::arg("_transform") = registry,
        py::arg("register_transform") = registry.attr(KORVANE_NAME("register_transform")),
        py::arg("unregister_transform") = registry.attr(KORVANE_NAME("unregister_transform")));
    shims.attr(KORVANE_NAME("register_transforms"))(view_manager);
    py::object builder = KORVANE_IMPORTED("astroid.builder", "AstroidBuilder")(
        py::arg("manager") = import_attr("astroid", "MANAGER"),
        py::arg("apply_transforms") = false);
    py::object tree = builder.attr(KORVANE_NAME("string_build"))(
        source, py::arg("modname") = modname, py::arg("path") = absolute_path);
    return registry.attr(KORVANE_NAME("visit"))(tree);
}

py::object build_atok(py::object source, py::object modname, py::object absolute_path,
                      py::object parse_non_code) {
    // Imported at every call: loading shims registers its transforms process-wide once.
    py::object shims = korvane::import_sibling("shims");
    py::object tree = parse_with_own_transforms(shims, source, modname, absolute_path);
    py::object atok = KORVANE_IMPORTED("asttokens", "ASTTokens")(source, py::arg("tree") = tree);
    atok.attr(KORVANE_NAME("extra_line_map")) = py::dict();
    if (!truthy(parse_non_code)) return atok;
    add_placeholders(atok);
    return atok;
}

}  // namespace

void sort_body_by_line(py::handle scope) {
    static py::object& by_line =
        keep(py::module_::import("operator").attr("attrgetter")(py::str("lineno")));
    scope.attr(KORVANE_NAME("body")).attr(KORVANE_NAME("sort"))(py::arg("key") = by_line);
}

void register_token_view(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.builder", "_find_statement_by_line");
    (void)KORVANE_IMPORTED("astroid.builder", "AstroidBuilder");
    (void)KORVANE_IMPORTED("types", "SimpleNamespace");
    (void)KORVANE_IMPORTED("astroid.transforms", "TransformVisitor");
    (void)KORVANE_IMPORTED("asttokens", "ASTTokens");
    prepare_placeholders();

    m.def("build_atok", &build_atok, py::arg("source"), py::arg("modname") = py::str(""),
          py::arg("absolute_path") = py::none(), py::arg("parse_non_code") = false,
          "Parses a source text into a token view whose tree carries the Django inference "
          "transforms; with parse_non_code, blank lines and whole-line comments become "
          "placeholder calls listed in `extra_line_map`.");
    m.def("add_node", &add_node, py::arg("tree"), py::arg("node"), py::arg("line_number"),
          "Inserts a node with the given line number into the body it belongs to.");
    m.def("find_node_parent", &find_node_parent, py::arg("tree"), py::arg("line"),
          "The module, class or function whose body a node on the line joins.");
    m.def("find_node_by_position", &find_node_by_position, py::arg("tree"), py::arg("line"),
          "The statement that the first node starting on the line belongs to, or None.");
}

}  // namespace korvane::helpers

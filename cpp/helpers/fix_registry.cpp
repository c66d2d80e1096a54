// The fix registry and the tree edits that the fixes share: position hand-over,
// callee names, member names, keyword insertion and constant nodes.
#include "helpers.hpp"

namespace korvane::helpers {

namespace {

py::object preserve_metadata(py::object new_node, py::object old_node) {
    const py::str& lineno = KORVANE_NAME("lineno");
    py::object line = old_node.attr(lineno);
    py::object nodes = iter_of(KORVANE_IMPORTED("asttokens.util", "walk")(new_node));
    while (PyObject* raw = PyIter_Next(nodes.ptr())) {
        py::object node = py::reinterpret_steal<py::object>(raw);
        node.attr(lineno) = line;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    for (const py::str* name : {&KORVANE_NAME("first_token"), &KORVANE_NAME("last_token"),
                                &KORVANE_NAME("col_offset"), &KORVANE_NAME("parent")}) {
        new_node.attr(*name) = old_node.attr(*name);
    }
    return new_node;
}

// The attribute of the callee that holds the called name: `attrname` of an attribute
// callee, `name` of a bare name; null for any other callee.
const py::str* callee_name_attr(py::handle func) {
    if (korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Attribute")))
        return &KORVANE_NAME("attrname");
    if (korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Name")))
        return &KORVANE_NAME("name");
    return nullptr;
}

py::object get_function_name(py::object node) {
    py::object func = node.attr(KORVANE_NAME("func"));
    const py::str* attr = callee_name_attr(func);
    if (!attr) return py::none();
    return func.attr(*attr);
}

void set_function_name(py::object node, py::object new_name) {
    py::object func = node.attr(KORVANE_NAME("func"));
    const py::str* attr = callee_name_attr(func);
    if (!attr) raise_bare(PyExc_NotImplementedError);
    func.attr(*attr) = new_name;
}

// The name a plain or annotated assignment around the node binds (`title = ...`,
// `owner: models.ForeignKey[User] = ...`), or None.
py::object get_member_name(py::object node) {
    const py::str& statement = KORVANE_NAME("statement");
    const py::str& parent_attr = KORVANE_NAME("parent");
    py::object& assign = KORVANE_IMPORTED("astroid", "Assign");
    py::object& annotated = KORVANE_IMPORTED("astroid", "AnnAssign");
    py::object stmt = node.attr(statement)();
    while (!korvane::isinstance(stmt, assign) && !korvane::isinstance(stmt, annotated)) {
        py::object parent = stmt.attr(parent_attr);
        if (!truthy(parent)) return py::none();
        stmt = parent.attr(statement)();
    }
    py::object target = korvane::isinstance(stmt, annotated)
                            ? stmt.attr(KORVANE_NAME("target"))
                            : py::object(stmt.attr(KORVANE_NAME("targets"))[py::int_(0)]);
    if (korvane::isinstance(target, KORVANE_IMPORTED("astroid", "AssignName")))
        return target.attr(KORVANE_NAME("name"));
    return py::none();
}

// A `**mapping` unpacking stays last: a new keyword goes just before it.
void add_to_keywords(py::object keywords, py::object keyword) {
    if (truthy(keywords)) {
        py::object last = keywords[py::int_(-1)];
        py::object text = last.attr(KORVANE_NAME("as_string"))();
        if (truthy(text.attr(KORVANE_NAME("startswith"))(KORVANE_NAME("**")))) {
            Py_ssize_t length = PyObject_Length(keywords.ptr());
            if (length < 0) throw py::error_already_set();
            keywords.attr(KORVANE_NAME("insert"))(length - 1, keyword);
            return;
        }
    }
    keywords.attr(KORVANE_NAME("append"))(keyword);
}

// astroid's constant-node factory, from the package itself or else from its nodes.
py::object find_const_factory() {
    try {
        return import_attr("astroid", "const_factory");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
    }
    return import_attr("astroid.nodes", "const_factory");
}

// `NodeTransformVisitor.visit`: the base class's `visit` walks a whole module; the
// generic walk takes a single statement, a list or tuple of nodes, or an empty value
// as well.
py::object visit_generic(py::object self, py::object node) {
    return self.attr(KORVANE_NAME("_visit_generic"))(node);
}

}  // namespace

void register_fix_registry(py::module_& m) {
    for (const char* name : {"Attribute", "Name", "Assign", "AnnAssign", "AssignName"}) {
        (void)import_attr("astroid", name);
    }
    (void)KORVANE_IMPORTED("asttokens.util", "walk");

    py::dict ns;
    ns["__doc__"] = py::str(
        "Registry of fixes: transforms registered per node class, applied by `visit` to "
        "any node, list or tuple of nodes, children first.");
    py::object visitor = make_class(
        m, "NodeTransformVisitor",
        py::make_tuple(import_attr("astroid.transforms", "TransformVisitor")), ns);
    def_method(visitor, "visit", &visit_generic, py::arg("node"));

    m.def("preserve_metadata", &preserve_metadata, py::arg("new_node"), py::arg("old_node"),
          "Gives new_node the place of old_node: the line number of old_node for new_node "
          "and all its descendants; tokens, column and parent for new_node itself.");
    m.def("get_function_name", &get_function_name, py::arg("node"),
          "The name of a call's callee, or None for a callee that is not a name.");
    m.def("set_function_name", &set_function_name, py::arg("node"), py::arg("new_name"),
          "Renames a call's callee in place.");
    m.def("get_member_name", &get_member_name, py::arg("node"),
          "The name that the enclosing plain or annotated assignment binds, or None.");
    m.def("add_to_keywords", &add_to_keywords, py::arg("keywords"), py::arg("keyword"),
          "Adds a keyword to a call's keyword list, before a trailing `**` unpacking.");
    m.attr("const_factory") = find_const_factory();
}

}  // namespace korvane::helpers

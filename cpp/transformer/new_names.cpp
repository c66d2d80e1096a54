// The check that a fixed text can run its new names: every name that the fixes made
// the text use more often than the original did must be bound where it is used, by
// the module (an assignment, a definition, an import, what a wildcard import brings
// that the tree library can read) or by the builtins.
#include "transformer.hpp"

namespace korvane::transformer {

namespace {

// How often each name is read in a text (a name loaded, not assigned or deleted).
py::object names_read(py::handle text) {
    py::module_ ast = py::module_::import("ast");
    py::object name_cls = ast.attr("Name");
    py::object load_cls = ast.attr("Load");
    py::list read;
    for (py::handle node : ast.attr("walk")(ast.attr("parse")(text)))
        if (korvane::isinstance(node, name_cls) && korvane::isinstance(node.attr("ctx"), load_cls))
            read.append(node.attr("id"));
    return KORVANE_IMPORTED("collections", "Counter")(read);
}

// The names the fixed text reads more often than the original.
py::set names_added(py::handle source, py::handle text) {
    return py::set(names_read(text) - names_read(source));
}

}  // namespace

py::object unbound_new_name(py::handle source, py::handle text, py::handle filepath, py::handle modname) {
    py::set added = names_added(source, text);
    if (added.empty()) return py::object();
    // Built through the process-wide manager under the module's name, so that relative
    // and wildcard imports resolve as they do for the module; the analysis's own tree of
    // the module is put back once the fixer is done.
    py::object builder = KORVANE_IMPORTED("astroid.builder", "AstroidBuilder")(
        py::arg("manager") = import_attr("astroid", "MANAGER"), py::arg("apply_transforms") = false);
    py::object tree = builder.attr("string_build")(text, py::arg("modname") = modname,
                                                   py::arg("path") = filepath);
    for (py::handle name : tree.attr("nodes_of_class")(KORVANE_IMPORTED("astroid", "Name"))) {
        py::object id = name.attr("name");
        if (!added.contains(id)) continue;
        py::list bindings = name.attr("lookup")(id)[py::int_(1)];
        if (bindings.empty()) return id;
    }
    return py::object();
}

}  // namespace korvane::transformer

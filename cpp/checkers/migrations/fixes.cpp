// The reverse-code fix: a RunPython operation without reverse code gets
// `migrations.RunPython.noop`; plus the fix factory.
#include "migrations.hpp"

#include <korvane/fix_rows.hpp>

namespace korvane::migrations {

namespace {

py::object preserve(py::handle new_node, py::handle old_node) {
    return state().helpers.attr(KORVANE_NAME("preserve_metadata"))(py::arg("new_node") = new_node,
                                                             py::arg("old_node") = old_node);
}

py::object add_reverse_code(py::object node) {
    py::object calls = node.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Call"));
    py::object call = py::reinterpret_steal<py::object>(PyIter_Next(korvane::iter_of(calls).ptr()));
    if (!call) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return node;
    }
    py::object name = KORVANE_IMPORTED("astroid", "Name")("migrations.RunPython.noop");
    preserve(name, call);

    py::object args = call.attr(KORVANE_NAME("args"));
    py::object keywords = call.attr(KORVANE_NAME("keywords"));
    bool has_keywords = !keywords.is_none() && py::len(keywords) > 0;
    size_t positional = args.is_none() ? 0 : py::len(args);
    // Appended to no arguments at all, a positional would be the forwards code: the
    // reverse code then goes in as a keyword.
    if (has_keywords || positional == 0) {
        py::object keyword = KORVANE_IMPORTED("astroid", "Keyword")(
            py::arg("arg") = "reverse_code", py::arg("parent") = call.attr(KORVANE_NAME("parent")));
        keyword.attr("postinit")(name);
        preserve(keyword, call);
        if (keywords.is_none()) {
            keywords = py::list();
            call.attr(KORVANE_NAME("keywords")) = keywords;
        }
        keywords.attr("append")(keyword);
    } else {
        args.attr("append")(name);
    }
    return node;
}

const FixRow kFixRows[] = {
    {"C8001", &astroid_call, "add_reverse_code", "is_missing_reverse"},
};

// The fix registry of the given codes: the reverse-code fix once for each C8001 among
// them, in the order given; any other code adds nothing.
py::object build_transformer_visitor(py::object message_ids) {
    py::object visitor = state().helpers.attr("NodeTransformVisitor")();
    register_fix_rows(visitor, state().module, message_ids, kFixRows);
    return visitor;
}

}  // namespace

void register_fixes(py::module_& m) {
    m.def("add_reverse_code", &add_reverse_code, py::arg("node"));
    m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
}

}  // namespace korvane::migrations

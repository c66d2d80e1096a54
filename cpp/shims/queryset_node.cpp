// QuerySetNode: the inferred value of a QuerySet expression, at once an astroid class
// node (so its mro starts with itself and names the QuerySet class) and a list node
// holding one model instance (so subscripts and loops yield that instance).
#include "shims.hpp"

namespace korvane::shims {

void register_queryset_node(py::module_& m) {
    py::tuple bases = py::make_tuple(import_attr("astroid.scoped_nodes", "ClassDef"),
                                     import_attr("astroid.node_classes", "List"));
    py::object cls = make_class(m, "QuerySetNode", bases);

    // One function under both names: the node's qualified name and its Python type.
    py::cpp_function qname(
        [](py::handle) -> py::str { return KORVANE_NAME("django.db.models.query.QuerySet"); },
        py::name("qname"), py::is_method(cls));
    cls.attr("qname") = qname;
    cls.attr("pytype") = qname;

    // Every index yields the one element, the model instance.
    def_method(
        cls, "getitem",
        [](py::handle self, py::handle, py::handle) -> py::object {
            return self.attr(KORVANE_NAME("elts"))[py::int_(0)];
        },
        py::arg("index"), py::arg("context") = py::none());
}

}  // namespace korvane::shims

// `list(qs)` and `sorted(qs)` of a QuerySet: the results are a plain list of the
// QuerySet's model instances, no QuerySet.  QuerySetNode is itself a list node, and
// the library's own inference of `list(x)` hands a list argument back unchanged, so
// without this `list(qs)` would still be the QuerySet.
//
// The transform is a plain one with a shape-only predicate: it infers nothing while
// the tree is built.  It wraps whatever inference the call already carries (the
// library's own for `list`), and only a QuerySet argument changes the answer.
#include "shims.hpp"

namespace korvane::shims {
namespace {

size_t length_of(py::handle seq) { return seq.is_none() ? 0 : py::len(seq); }

// `list(x)` with nothing else, or `sorted(x, ...)` whose other arguments are keywords.
py::object looks_like_list_call(py::object node) {
    py::object func = node.attr(KORVANE_NAME("func"));
    if (!korvane::isinstance(func, KORVANE_IMPORTED("astroid.nodes", "Name"))) return py::none();
    py::object name = func.attr(KORVANE_NAME("name"));
    bool is_list = equals(name, KORVANE_NAME("list"));
    if (!is_list && !equals(name, KORVANE_NAME("sorted"))) return py::none();
    py::object args = node.attr(KORVANE_NAME("args"));
    if (length_of(args) != 1) return py::none();
    if (korvane::isinstance(args[py::int_(0)], KORVANE_IMPORTED("astroid.nodes", "Starred")))
        return py::none();
    if (is_list && length_of(node.attr(KORVANE_NAME("keywords"))) != 0) return py::none();
    return py::bool_(true);
}

// A list node of the QuerySet's elements, placed at the call as the library places
// the lists it infers for `list(...)`.
py::object plain_list(py::handle call, py::handle queryset) {
    py::object list = KORVANE_IMPORTED("astroid.nodes", "List")(
        py::arg("lineno") = call.attr(KORVANE_NAME("lineno")),
        py::arg("col_offset") = call.attr(KORVANE_NAME("col_offset")), py::arg("parent") = call);
    list.attr(KORVANE_NAME("postinit"))(py::list(queryset.attr(KORVANE_NAME("elts"))));
    return list;
}

py::object apply_list_call_shim(py::object node) {
    py::object previous = korvane::getattr_or_null(node, KORVANE_NAME("_explicit_inference"));
    if (previous && previous.is_none()) previous = py::object();
    py::cpp_function inference(
        [previous](py::object call, py::object context, py::kwargs kwargs) -> py::object {
            py::object argument = call.attr(KORVANE_NAME("args"))[py::int_(0)];
            py::object value = safe_infer_in(argument, context);
            if (korvane::truthy(helpers_test(KORVANE_NAME("is_queryset"), value))) {
                py::list result;
                result.append(plain_list(call, value));
                return iter_of(result);
            }
            if (previous) return previous(call, context, **kwargs);
            raise_bare(KORVANE_IMPORTED("astroid.exceptions", "UseInferenceDefault"));
        },
        py::arg("node"), py::arg("context") = py::none());
    node.attr(KORVANE_NAME("_explicit_inference")) = inference;
    return node;
}

}  // namespace

void register_list_call_shim(py::module_& m) {
    m.def("looks_like_list_call", &looks_like_list_call, py::arg("node"));
    m.def("apply_list_call_shim", &apply_list_call_shim, py::arg("node"));
}

}  // namespace korvane::shims

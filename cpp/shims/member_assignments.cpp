// Members that an assignment to an attribute adds: only to what its own module defines.
//
// When astroid builds a module, every `x.name = value` in it makes `name` a member of
// whatever `x` infers to at that moment: an instance attribute of a class, a member of
// a function, a name of a module.  When that class, function or module belongs to
// another module, its tree is changed for the rest of the process: a service doing
// `order.customer = None` adds a second value to `order.customer` in every module that
// reads it, and an inference that needs one value then finds none.  What the checks
// infer in one module would so depend on which other modules this process happened to
// build before: on the file order, and in a worker on the groups it was handed.  Here a
// member is added only to a class, function or module of the module being built, so
// each tree's members come from its own source alone.
#include "shims.hpp"

namespace korvane::shims {

namespace {

bool same_root(py::handle target, py::handle root) {
    return target.attr(KORVANE_NAME("root"))().is(root);
}

// The members mapping that `x.name = ...` adds to, for one value `x` inferred to, or
// a null object when it adds to none (astroid's own choice, or a target defined in
// another module than `root`).
py::object members_for(py::handle inferred, py::handle attrname, py::handle root) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(inferred.ptr()));
    if (type == KORVANE_IMPORTED("astroid.bases", "Instance").ptr() ||
        type == KORVANE_IMPORTED("astroid.objects", "ExceptionInstance").ptr()) {
        py::object cls = inferred.attr(KORVANE_NAME("_proxied"));
        if (!same_root(cls, root)) return py::object();
        if (!truthy(KORVANE_IMPORTED("astroid.builder", "_can_assign_attr")(cls, attrname)))
            return py::object();
        return cls.attr(KORVANE_NAME("instance_attrs"));
    }
    // constants, containers and other values built on Instance take no member
    if (korvane::isinstance(inferred, KORVANE_IMPORTED("astroid.bases", "Instance")))
        return py::object();
    if (!same_root(inferred, root)) return py::object();
    if (truthy(inferred.attr(KORVANE_NAME("is_function"))))
        return inferred.attr(KORVANE_NAME("instance_attrs"));
    return inferred.attr(KORVANE_NAME("locals"));
}

// Puts the assignment among the values of its member, once; one made in `__init__`
// goes first, as astroid orders them.
void add_value(py::handle members, py::handle node, py::handle frame) {
    py::object attrname = node.attr(KORVANE_NAME("attrname"));
    py::object values = members.attr(KORVANE_NAME("setdefault"))(attrname, py::list());
    if (contains(values, node)) return;
    const py::str& init = KORVANE_NAME("__init__");
    auto frame_name = [](py::handle n) {
        return n.attr(KORVANE_NAME("frame"))(py::arg("future") = true).attr(KORVANE_NAME("name"));
    };
    if (equals(frame.attr(KORVANE_NAME("name")), init) && truthy(values) &&
        !equals(frame_name(values[py::int_(0)]), init)) {
        values.attr(KORVANE_NAME("insert"))(0, node);
    } else {
        values.attr(KORVANE_NAME("append"))(node);
    }
}

// AstroidBuilder.delayed_assattr: astroid's own, less the members of other modules.
void delayed_assattr(py::object, py::object node) {
    try {
        py::object frame = node.attr(KORVANE_NAME("frame"))(py::arg("future") = true);
        py::object root = node.attr(KORVANE_NAME("root"))();
        py::object attrname = node.attr(KORVANE_NAME("attrname"));
        py::handle uninferable = KORVANE_IMPORTED("astroid.util", "Uninferable");
        for (py::handle inferred : node.attr(KORVANE_NAME("expr")).attr(KORVANE_NAME("infer"))()) {
            if (inferred.is(uninferable)) continue;
            py::object members;
            try {
                members = members_for(inferred, attrname, root);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_AttributeError)) throw;
                continue;
            }
            if (members) add_value(members, node, frame);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(KORVANE_IMPORTED("astroid.exceptions", "InferenceError"))) throw;
    }
}

}  // namespace

void register_member_assignments() {
    py::object builder = import_attr("astroid.builder", "AstroidBuilder");
    (void)KORVANE_IMPORTED("astroid.builder", "_can_assign_attr");
    (void)KORVANE_IMPORTED("astroid.objects", "ExceptionInstance");
    py::cpp_function method(&delayed_assattr, py::name("delayed_assattr"), py::is_method(builder),
                            py::arg("node"),
                            "Adds the member that an assignment to an attribute makes, when "
                            "its class, function or module is defined in the same module.");
    builder.attr("delayed_assattr") = method;
}

}  // namespace korvane::shims

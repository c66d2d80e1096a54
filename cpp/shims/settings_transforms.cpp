// Settings-read transforms: while a BuilderWithSettingsTransforms block is open,
// `os.path` calls of constants fold to constants and environment lookups with a text
// default become that default, on every tree the process-wide manager builds.
#include "shims.hpp"

namespace korvane::shims {
namespace {

bool contains(const py::str& text, const py::str& part) {
    int r = PySequence_Contains(text.ptr(), part.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool looks_like_path_manipulation(py::object node) {
    py::object callee = node.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("as_string"))();
    for (const py::str* allowed : {&KORVANE_NAME("os.path.abspath"), &KORVANE_NAME("os.path.dirname"),
                                   &KORVANE_NAME("os.path.basename"), &KORVANE_NAME("os.path.join")}) {
        if (equals(callee, *allowed)) return true;
    }
    return false;
}

// The call's result as a constant in the call's place, or the call itself when an
// argument does not infer to one constant or the `os.path` function fails on the
// values: a settings read then goes on with the call left as written.
py::object transform_path_manipulation(py::object node) {
    py::object value;
    try {
        py::list values;
        for (py::handle arg : node.attr(KORVANE_NAME("args"))) {
            py::object inferred = safe_infer(arg);
            if (is_nothing(inferred)) return node;
            values.append(inferred.attr(KORVANE_NAME("value")));
        }
        py::object function = global(KORVANE_NAME("os"))
                                  .attr(KORVANE_NAME("path"))
                                  .attr(node.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("attrname")));
        value = function(*py::tuple(values));
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return node;
        throw;
    }
    return KORVANE_IMPORTED("astroid", "Const")(
        value, py::arg("lineno") = node.attr(KORVANE_NAME("lineno")),
        py::arg("col_offset") = node.attr(KORVANE_NAME("col_offset")),
        py::arg("parent") = node.attr(KORVANE_NAME("parent")));
}

// `os.environ.get("NAME", "default")` or `os.getenv(...)`: a call of two arguments, the
// variable's name and a text default, whose source mentions `env` but is no
// `setdefault`.
py::object looks_like_environment_variable_lookup(py::object node) {
    py::object args = node.attr(KORVANE_NAME("args"));
    if (py::len(args) != 2) return py::none();
    py::str source = node.attr(KORVANE_NAME("as_string"))();
    if (!contains(source, KORVANE_NAME("env"))) return py::none();
    if (contains(source, KORVANE_NAME("setdefault"))) return py::none();
    py::object first = args[py::int_(0)];
    py::object second = args[py::int_(1)];
    py::object constant = KORVANE_IMPORTED("astroid", "Const");
    if (!korvane::isinstance(first, constant) || !korvane::isinstance(second, constant)) return py::none();
    const py::str& text_type = KORVANE_NAME("builtins.str");
    if (!first.attr(KORVANE_NAME("pytype"))().equal(text_type)) return py::bool_(false);
    return py::bool_(second.attr(KORVANE_NAME("pytype"))().equal(text_type));
}

// The default argument node itself stands in for the lookup.
py::object transform_environment_variable_lookup(py::object node) {
    return node.attr(KORVANE_NAME("args"))[py::int_(1)];
}

py::object process_manager() {
    return global(KORVANE_NAME("astroid")).attr(KORVANE_NAME("MANAGER"));
}

void builder_init(py::object self) {
    py::object call = KORVANE_IMPORTED("astroid", "Call");
    py::list transforms;
    py::list path;
    path.append(call);
    path.append(global(KORVANE_NAME("transform_path_manipulation")));
    path.append(global(KORVANE_NAME("looks_like_path_manipulation")));
    transforms.append(path);
    py::list environment;
    environment.append(call);
    environment.append(global(KORVANE_NAME("transform_environment_variable_lookup")));
    environment.append(global(KORVANE_NAME("looks_like_environment_variable_lookup")));
    transforms.append(environment);
    self.attr(KORVANE_NAME("transforms")) = transforms;
}

py::object builder_enter(py::object self) {
    py::object manager = process_manager();
    for (py::handle entry : self.attr(KORVANE_NAME("transforms")))
        manager.attr(KORVANE_NAME("register_transform"))(*entry);
    return KORVANE_IMPORTED("astroid.builder", "AstroidBuilder")();
}

void builder_exit(py::object self, py::args, py::kwargs) {
    py::object manager = process_manager();
    for (py::handle entry : self.attr(KORVANE_NAME("transforms")))
        manager.attr(KORVANE_NAME("unregister_transform"))(*entry);
}

}  // namespace

void register_settings_transforms(py::module_& m) {
    m.def("looks_like_path_manipulation", &looks_like_path_manipulation, py::arg("node"));
    m.def("transform_path_manipulation", &transform_path_manipulation, py::arg("node"));
    m.def("looks_like_environment_variable_lookup", &looks_like_environment_variable_lookup,
          py::arg("node"));
    m.def("transform_environment_variable_lookup", &transform_environment_variable_lookup,
          py::arg("node"));

    py::object cls = make_class(m, "BuilderWithSettingsTransforms", py::tuple());
    def_init(cls, &builder_init);
    def_method(cls, "__enter__", &builder_enter);
    def_method(cls, "__exit__", &builder_exit);
}

}  // namespace korvane::shims

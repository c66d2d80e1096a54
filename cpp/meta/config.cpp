// Project configuration: the `[tool.korvane]` table and black's code style, both read
// from `pyproject.toml` in the project root.
#include "meta.hpp"

namespace korvane::meta {

namespace {

py::object find_pyproject_toml(py::object project_root) {
    py::object path = KORVANE_IMPORTED("pathlib", "Path")(project_root).attr(KORVANE_NAME("joinpath"))("pyproject.toml");
    if (truthy(path.attr(KORVANE_NAME("is_file"))())) return py::str(path);
    return py::none();
}

py::object parse_pyproject_toml(py::object path_config) {
    py::object document = KORVANE_IMPORTED("toml", "load")(path_config);
    py::object tool = document.attr(KORVANE_NAME("get"))("tool", py::dict());
    py::object table = tool.attr(KORVANE_NAME("get"))("korvane", py::dict());
    py::dict config;
    for (py::handle item : table.attr(KORVANE_NAME("items"))()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object key = pair[0].attr(KORVANE_NAME("replace"))("--", "").attr(KORVANE_NAME("replace"))("-", "_");
        config[key] = pair[1];
    }
    return config;
}

const char* const kWhitelist[] = {"disable", "enable", "ignore", "directories"};

py::object target_versions_of(py::object names) {
    // Names this black release does not know (a newer Python) are left out.
    py::object members = KORVANE_IMPORTED("black", "TargetVersion").attr(KORVANE_NAME("__members__"));
    py::list result;
    for (py::handle name : names) {
        py::object upper = name.attr(KORVANE_NAME("upper"))();
        if (members.contains(upper)) result.append(members[upper]);
    }
    return result;
}

// black raises click's FileError for a configuration file it cannot read; releases
// that have their own `black.FileError` raise that one.
bool is_black_file_error(py::error_already_set& e) {
    if (e.matches(KORVANE_IMPORTED("click", "FileError"))) return true;
    static py::object& own = keep(py::getattr(py::module_::import("black"), "FileError", py::none()));
    return !own.is_none() && e.matches(own);
}

}  // namespace

py::object get_toml_config(py::object project_root) {
    py::object path = find_pyproject_toml(project_root);
    if (!truthy(path)) return py::dict();
    py::object config;
    try {
        config = parse_pyproject_toml(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(KORVANE_IMPORTED("toml.decoder", "TomlDecodeError"))) throw;
        log_exception("Failed to parse toml config file.", e);
        return py::dict();
    }
    py::dict result;
    for (const char* key : kWhitelist) {
        py::str name(key);
        if (config.contains(name)) result[name] = config[name];
    }
    return result;
}

void register_config(py::module_& m) {
    py::module_ click = py::module_::import("click");
    py::module_::import("toml");
    py::module_::import("toml.decoder");
    py::module_::import("black");

    py::dict context_ns;
    context_ns["__doc__"] = "A fake click Context for when calling functions that need it.";
    py::object fake_context = make_class(m, "FakeContext", py::make_tuple(click.attr(KORVANE_NAME("Context"))), context_ns);
    def_init(fake_context, [](py::object self) { self.attr(KORVANE_NAME("default_map")) = py::dict(); });

    py::dict parameter_ns;
    parameter_ns["__doc__"] = "A fake click Parameter for when calling functions that need it.";
    py::object fake_parameter =
        make_class(m, "FakeParameter", py::make_tuple(click.attr(KORVANE_NAME("Parameter"))), parameter_ns);
    def_init(fake_parameter, [](py::object) {});

    m.def("find_pyproject_toml", &find_pyproject_toml, py::arg("project_root"));
    m.def("parse_pyproject_toml", &parse_pyproject_toml, py::arg("path_config"));
    m.def("get_toml_config", &get_toml_config, py::arg("project_root"));
    m.def(
        "get_code_style",
        [fake_context, fake_parameter](py::object lookup_path) {
            py::object ctx = fake_context();
            py::object path = find_pyproject_toml(lookup_path);
            if (truthy(path)) {
                try {
                    KORVANE_IMPORTED("black", "read_pyproject_toml")(
                        py::arg("ctx") = ctx, py::arg("param") = fake_parameter(), py::arg("value") = path);
                } catch (py::error_already_set& e) {
                    if (!is_black_file_error(e)) throw;
                }
            }
            py::object defaults = ctx.attr(KORVANE_NAME("default_map"));
            py::object line_length =
                defaults.attr(KORVANE_NAME("get"))("line_length", KORVANE_IMPORTED("black", "DEFAULT_LINE_LENGTH"));
            py::list default_names;
            default_names.append("py36");
            py::object names = defaults.attr(KORVANE_NAME("get"))("target_version", default_names);
            py::dict style;
            style["line_length"] = py::reinterpret_borrow<py::object>((PyObject*)&PyLong_Type)(line_length);
            style["target_versions"] = target_versions_of(names);
            return style;
        },
        py::arg("lookup_path"));
}

}  // namespace korvane::meta

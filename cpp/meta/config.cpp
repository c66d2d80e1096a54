// Project configuration: the `[tool.korvane]` table and black's code style, both read
// from `pyproject.toml` in the project root.
#include "meta.hpp"

namespace korvane::meta {

namespace {

// The Python version black formats the fixed code for when the project's
// [tool.black] names no target version, or names them in a form that cannot be read.
const char* const kDefaultTargetVersion = "py36";

py::object find_pyproject_toml(py::object project_root) {
    py::object path = KORVANE_IMPORTED("pathlib", "Path")(project_root).attr(KORVANE_NAME("joinpath"))("pyproject.toml");
    if (truthy(path.attr(KORVANE_NAME("is_file"))())) return py::str(path);
    return py::none();
}

// `document[name]`, or a new empty table when the document has no such entry; an
// entry that is not a table raises a TypeError naming it and the file.
py::object table_of(py::handle document, const char* name, const char* shown, py::handle path) {
    py::object table = document.attr(KORVANE_NAME("get"))(name, py::dict());
    if (!PyDict_Check(table.ptr())) {
        PyErr_SetObject(PyExc_TypeError,
                        py::str("{} in {} is not a table: got {}").format(shown, path, type_name(table)).ptr());
        throw py::error_already_set();
    }
    return table;
}

// The document of a TOML file (TOML 1.0), read as UTF-8.
py::object load_toml(py::handle path) {
    py::object file = py::module_::import("builtins").attr(KORVANE_NAME("open"))(path, "rb");
    return with_block(file, [](py::object f) { return KORVANE_IMPORTED("tomli", "load")(f); });
}

py::object parse_pyproject_toml(py::object path_config) {
    py::object document = load_toml(path_config);
    py::object tool = table_of(document, "tool", "[tool]", path_config);
    py::object table = table_of(tool, "korvane", "[tool.korvane]", path_config);
    py::dict config;
    for (py::handle item : table.attr(KORVANE_NAME("items"))()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object key = pair[0].attr(KORVANE_NAME("replace"))("--", "").attr(KORVANE_NAME("replace"))("-", "_");
        config[key] = pair[1];
    }
    return config;
}

// The keys taken from the file, with the shape their readers need: the linter's
// message lists and file selection's ignore entries are one text or a list of texts;
// the directories to walk are a list of paths.
struct Key {
    const char* name;
    bool text_allowed;
};
const Key kWhitelist[] = {{"disable", true}, {"enable", true}, {"ignore", true}, {"directories", false}};

// What is wrong with `value` for a list of texts (or, with `text_allowed`, one text), or a
// null object when nothing is.
py::object shape_fault(bool text_allowed, py::handle value) {
    if (text_allowed && PyUnicode_Check(value.ptr())) return py::object();
    if (!PyList_Check(value.ptr())) return py::str("got {}").format(type_name(value));
    for (py::handle item : value) {
        if (!PyUnicode_Check(item.ptr())) return py::str("got a list holding {}").format(type_name(item));
    }
    return py::object();
}

void warn(const py::str& message) { state().logger.attr(KORVANE_NAME("warning"))(message); }

// The line length as an int; a value that int() cannot take is ignored with a warning.
py::object line_length_of(py::handle value, py::handle path) {
    py::object as_int = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    try {
        return as_int(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    }
    warn(py::str("Ignoring \"line-length\" of [tool.black] in {}: {!r} is not a whole number.").format(path, value));
    return as_int(KORVANE_IMPORTED("black", "DEFAULT_LINE_LENGTH"));
}

py::object target_versions_of(py::object names, py::handle path) {
    py::object fault = shape_fault(false, names);
    if (fault) {
        warn(py::str("Ignoring \"target-version\" of [tool.black] in {}: expected a list of texts, {}.").format(path, fault));
        names = py::list();
        names.attr(KORVANE_NAME("append"))(kDefaultTargetVersion);
    }
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
        // Whatever keeps the table from being read (bytes that are not UTF-8, TOML the
        // reader rejects, a table of another type) counts as no configuration.
        if (!is_ordinary(e)) throw;
        log_exception("Failed to parse toml config file.", e);
        return py::dict();
    }
    py::dict result;
    for (const Key& key : kWhitelist) {
        py::str name(key.name);
        if (!config.contains(name)) continue;
        py::object value = config[name];
        py::object fault = shape_fault(key.text_allowed, value);
        if (fault) {
            py::str expected(key.text_allowed ? "a text or a list of texts" : "a list of texts");
            warn(py::str("Ignoring \"{}\" of [tool.korvane] in {}: expected {}, {}.").format(name, path, expected, fault));
            continue;
        }
        result[name] = value;
    }
    return result;
}

namespace {

// black's code style for the project at `lookup_path`: its line length and target
// versions, black's defaults where its table does not set them or cannot be read.
py::dict get_code_style(py::object lookup_path) {
    py::object ctx = state().fake_context();
    py::object path = find_pyproject_toml(lookup_path);
    if (truthy(path)) {
        try {
            KORVANE_IMPORTED("black", "read_pyproject_toml")(
                py::arg("ctx") = ctx, py::arg("param") = state().fake_parameter(), py::arg("value") = path);
        } catch (py::error_already_set& e) {
            // black reports a file it cannot read or parse with FileError; what
            // else its reader raises on an odd table (`tool = 5`, a text for
            // target-version) leaves the defaults as well.
            if (!is_ordinary(e)) throw;
            if (!is_black_file_error(e)) {
                warn(py::str("Failed to read [tool.black] of {}: {}; using the defaults.").format(path, e.value()));
                ctx.attr(KORVANE_NAME("default_map")) = py::dict();
            }
        }
    }
    py::object defaults = ctx.attr(KORVANE_NAME("default_map"));
    py::object line_length =
        defaults.attr(KORVANE_NAME("get"))("line_length", KORVANE_IMPORTED("black", "DEFAULT_LINE_LENGTH"));
    py::list default_names;
    default_names.append(kDefaultTargetVersion);
    py::object names = defaults.attr(KORVANE_NAME("get"))("target_version", default_names);
    py::dict style;
    style["line_length"] = line_length_of(line_length, path);
    style["target_versions"] = target_versions_of(names, path);
    return style;
}

}  // namespace

void register_config(py::module_& m) {
    py::module_ click = py::module_::import("click");
    py::module_::import("tomli");
    py::module_::import("black");

    py::dict context_ns;
    context_ns["__doc__"] = "A fake click Context for when calling functions that need it.";
    py::object fake_context = make_class(m, "FakeContext", py::make_tuple(click.attr(KORVANE_NAME("Context"))), context_ns);
    def_init(fake_context, [](py::object self) { self.attr(KORVANE_NAME("default_map")) = py::dict(); });
    state().fake_context = fake_context;

    py::dict parameter_ns;
    parameter_ns["__doc__"] = "A fake click Parameter for when calling functions that need it.";
    py::object fake_parameter =
        make_class(m, "FakeParameter", py::make_tuple(click.attr(KORVANE_NAME("Parameter"))), parameter_ns);
    def_init(fake_parameter, [](py::object) {});
    state().fake_parameter = fake_parameter;

    m.def("find_pyproject_toml", &find_pyproject_toml, py::arg("project_root"));
    m.def("parse_pyproject_toml", &parse_pyproject_toml, py::arg("path_config"));
    m.def("get_toml_config", &get_toml_config, py::arg("project_root"));
    m.def("get_code_style", &get_code_style, py::arg("lookup_path"));
}

}  // namespace korvane::meta

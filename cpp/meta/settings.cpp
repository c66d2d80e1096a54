// Settings values: `ROOT_URLCONF` and `STATIC_URL`, read from the project's settings
// modules without importing them.
#include "meta.hpp"

namespace korvane::meta {

namespace {

py::object file_of_module(py::handle modpath) {
    return KORVANE_IMPORTED("astroid.modutils", "file_from_modpath")(modpath.attr(KORVANE_NAME("split"))("."));
}

// The text of a settings file found on the module search path, or a null object when
// it is passed over: not a regular file, or reached through a link leading out of `root`.
py::object read_settings_file(py::handle path, py::handle root) {
    if (!is_readable_project_file(KORVANE_IMPORTED("pathlib", "Path")(path), root)) return py::object();
    return read_text(path);
}

py::object get_root_urlconf_from_source(py::object source, py::object path) {
    py::object tree = settings_build(source, KORVANE_NAME("settings"), path);
    py::str name("ROOT_URLCONF");
    if (!tree.contains(name)) return py::none();
    try {
        return state().helpers.attr(KORVANE_NAME("astroid_node_to_value"))(tree[name]);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return py::none();
    }
}

py::object get_static_url_from_source(py::object source) {
    py::object tree = settings_build(source, py::none(), py::none());
    py::object STATIC_URL = py::none();
    py::str name("STATIC_URL");
    if (tree.contains(name)) {
        py::object node = tree[name];
        if (korvane::isinstance(node, KORVANE_IMPORTED("astroid", "ImportFrom"))) {
            node = node.attr(KORVANE_NAME("do_import_module"))()[name];
        }
        py::object value = state().helpers.attr(KORVANE_NAME("astroid_node_to_value"))(node);
        if (PyUnicode_Check(value.ptr())) STATIC_URL = value;
    }
    return STATIC_URL;
}

// ROOT_URLCONF of the first settings module, in order, that sets it to a true value.
py::object get_root_urlconf(py::object settings_files) {
    py::str marker("ROOT_URLCONF");
    for (py::handle settings_file : settings_files) {
        py::object path = file_of_module(settings_file);
        // Settings modules are found relative to the working directory, the root.
        py::object source = read_settings_file(path, KORVANE_IMPORTED("os", "getcwd")());
        if (!source || !truthy(source) || !source.contains(marker)) continue;
        py::object value = get_root_urlconf_from_source(source, path);
        if (truthy(value)) return value;
    }
    return py::none();
}

// STATIC_URL of the first settings module of the project that sets it to a true text;
// `default_` when none does, or when reading the settings fails (logged).
py::object get_static_url_setting(py::object project_root, py::object default_) {
    try {
        py::object items = get_settings_files(project_root);
        for (py::handle item : items) {
            py::object source = read_settings_file(file_of_module(item), project_root);
            if (!source) continue;
            py::object value = get_static_url_from_source(source);
            if (truthy(value)) return value;
        }
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        log_exception("Failed to get STATIC_URL from settings.", e);
        return default_;
    }
    return default_;
}

}  // namespace

void register_settings(py::module_& m) {
    m.def("get_root_urlconf", &get_root_urlconf, py::arg("settings_files"));
    m.def("get_root_urlconf_from_source", &get_root_urlconf_from_source, py::arg("source"), py::arg("path"));
    m.def("get_static_url_setting", &get_static_url_setting, py::arg("project_root"),
          py::arg("default") = "/static/");
    m.def("get_static_url_from_source", &get_static_url_from_source, py::arg("source"));
}

}  // namespace korvane::meta

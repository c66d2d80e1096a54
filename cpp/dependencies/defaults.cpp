// Django's default settings per version, their flattening into a dict, and the test
// whether a directory holds a Django project.
#include "dependencies.hpp"

#include <korvane/project_files.hpp>

namespace korvane::dependencies {

namespace {

bool is_django_import(py::handle child) {
    if (korvane::isinstance(child, KORVANE_IMPORTED("ast", "Import"))) {
        py::str django("django");
        for (py::handle alias : child.attr(KORVANE_NAME("names"))) {
            if (django.equal(alias.attr(KORVANE_NAME("name")))) return true;
        }
        return false;
    }
    if (korvane::isinstance(child, KORVANE_IMPORTED("ast", "ImportFrom"))) {
        py::object module = child.attr(KORVANE_NAME("module"));
        if (module.is_none()) return false;
        return truthy(module.attr(KORVANE_NAME("startswith"))("django.")) || KORVANE_NAME("django").equal(module);
    }
    return false;
}

bool is_django_node(py::object node) {
    for (py::handle child : KORVANE_IMPORTED("ast", "iter_child_nodes")(node)) {
        if (is_django_import(child)) return true;
    }
    return false;
}

// Whether the source file at `path` imports Django at its top level.  A file that does
// not decode or does not parse holds no Django import as far as this test goes, nor
// does one that is no regular file.
bool file_imports_django(py::handle path) {
    py::object f = open_regular_text(path);
    if (!f) return false;
    py::object tree;
    try {
        py::object text = f.attr(KORVANE_NAME("read"))();
        tree = KORVANE_IMPORTED("ast", "parse")(text, path);
    } catch (py::error_already_set& e) {
        f.attr(KORVANE_NAME("close"))();
        // ValueError covers decoding errors and sources holding null bytes.
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_SyntaxError)) return false;
        throw;
    }
    f.attr(KORVANE_NAME("close"))();
    return is_django_node(tree);
}

bool is_django_repository(py::object project_root) {
    State& s = state();
    try {
        s.meta.attr(KORVANE_NAME("get_manage_file"))(project_root);
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(s.meta.attr(KORVANE_NAME("ManageFileMissingError")))) throw;
    }
    if (truthy(resolve_django_version(project_root))) return true;
    py::object sources = KORVANE_IMPORTED("pathlib", "Path")(project_root).attr(KORVANE_NAME("rglob"))("*.py");
    for (;;) {
        PyObject* raw = PyIter_Next(sources.ptr());
        if (!raw) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        py::object path = py::reinterpret_steal<py::object>(raw);
        // Only regular files of the project are read: no FIFO, no link loop, no link
        // that leads out of the root.
        if (!truthy(path.attr(KORVANE_NAME("is_file"))())) continue;
        if (leaves_root_through_link(path, project_root)) continue;
        if (file_imports_django(path)) {
            sources.attr(KORVANE_NAME("close"))();
            return true;
        }
    }
}

py::object get_default_django_settings(py::object version) {
    return state().settings_mapping.attr(KORVANE_NAME("get"))(version, state().latest_settings);
}

// A setting is an upper-case name without a leading underscore.
bool not_a_setting(py::object name) {
    return truthy(name.attr(KORVANE_NAME("startswith"))("_")) || !truthy(name.attr(KORVANE_NAME("isupper"))());
}

// The module's names that `omittable` does not leave out, with their values.
py::dict module_to_dict(py::object module, py::object omittable) {
    PyObject* names = PyObject_Dir(module.ptr());
    if (!names) throw py::error_already_set();
    py::dict result;
    for (py::handle name : py::reinterpret_steal<py::object>(names)) {
        if (!truthy(omittable(name))) result[name] = module.attr(name);
    }
    return result;
}

// The known minor versions, and the mapping from each to its default settings module.
void bind_release_tables(py::module_& m) {
    State& s = state();
    py::list versions;
    py::dict mapping;
    for (const Release& release : kReleases) {
        py::object defaults =
            py::module_::import((std::string("korvane.staticanalysis.stockconf.") + release.defaults_module).c_str());
        versions.append(py::str(release.version));
        mapping[py::str(release.version)] = defaults;
        s.latest_settings = defaults;
    }
    s.settings_mapping = mapping;
    m.attr(KORVANE_NAME("versions")) = versions;
    m.attr(KORVANE_NAME("DJANGO_SETTINGS_MAPPING")) = mapping;
}

}  // namespace

void register_defaults(py::module_& m) {
    py::module_::import("ast");
    bind_release_tables(m);
    m.def("get_default_django_settings", &get_default_django_settings, py::arg("version"));
    m.def("module_to_dict", &module_to_dict, py::arg("module"),
          py::arg("omittable") = py::cpp_function(&not_a_setting, py::name("not_a_setting")));
    m.def("is_django_repository", &is_django_repository, py::arg("project_root"));
    m.def("is_django_node", &is_django_node, py::arg("node"));
}

}  // namespace korvane::dependencies

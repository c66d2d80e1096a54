// Manage file and settings module discovery: finds `manage.py`, reads the settings
// module it declares, and lists the project's settings modules.
#include <vector>

#include <korvane/project_files.hpp>

#include "lazy.hpp"
#include "meta.hpp"

namespace korvane::meta {

namespace {

bool matches_missing_or(py::error_already_set& e, bool stop_iteration) {
    return e.matches(state().manage_missing) || e.matches(PyExc_ImportError) ||
           e.matches(PyExc_AttributeError) || (stop_iteration && e.matches(PyExc_StopIteration));
}

// Statements that may declare the settings module: those directly in the body of a
// top-level `if`, then (for the `main()` that Django writes since 2.0) those directly
// in the body of a top-level function.
struct DeclarationScan : LazySource {
    py::object manage_path;
    bool started = false;
    std::vector<py::object> statements;
    size_t index = 0;

    void start() {
        started = true;
        py::object source = read_text(manage_path);
        py::object tree = settings_build(source, py::none(), py::none());
        py::object If = KORVANE_IMPORTED("astroid", "If");
        py::object FunctionDef = KORVANE_IMPORTED("astroid", "FunctionDef");
        py::object body = tree.attr(KORVANE_NAME("body"));
        for (py::handle stmt : body) {
            if (korvane::isinstance(stmt, If))
                for (py::handle inner : stmt.attr(KORVANE_NAME("body"))) statements.push_back(py::reinterpret_borrow<py::object>(inner));
        }
        for (py::handle stmt : body) {
            if (korvane::isinstance(stmt, FunctionDef))
                for (py::handle inner : stmt.attr(KORVANE_NAME("body"))) statements.push_back(py::reinterpret_borrow<py::object>(inner));
        }
    }

    py::object step() override {
        if (!started) start();
        py::object Expr = KORVANE_IMPORTED("astroid", "Expr");
        py::object Attribute = KORVANE_IMPORTED("astroid", "Attribute");
        while (index < statements.size()) {
            py::object stmt = statements[index++];
            if (!korvane::isinstance(stmt, Expr)) continue;
            py::list children(stmt.attr(KORVANE_NAME("value")).attr(KORVANE_NAME("get_children"))());
            // An expression without the children of a call (a bare string, `...`) or a
            // call short of its arguments declares nothing.
            if (children.size() == 0) continue;
            py::object callee = children[0];
            if (!korvane::isinstance(callee, Attribute) || !KORVANE_NAME("setdefault").equal(callee.attr(KORVANE_NAME("attrname")))) continue;
            if (children.size() < 2) continue;
            if (!KORVANE_NAME("DJANGO_SETTINGS_MODULE").equal(children[1].attr(KORVANE_NAME("value")))) continue;
            if (children.size() < 3) continue;
            return state().helpers.attr(KORVANE_NAME("astroid_node_to_value"))(children[2]);
        }
        statements.clear();
        return py::object();
    }
};

std::unique_ptr<DeclarationScan> scan_of(py::object manage_path) {
    auto scan = std::make_unique<DeclarationScan>();
    scan->manage_path = std::move(manage_path);
    return scan;
}

py::object get_settings_paths_from_manage(py::object manage_path) {
    auto scan = scan_of(manage_path);
    py::object file_from_modpath = KORVANE_IMPORTED("astroid.modutils", "file_from_modpath");
    for (py::object value = scan->step(); value; value = scan->step()) {
        py::object path = file_from_modpath(value.attr(KORVANE_NAME("split"))("."));
        if (truthy(path)) {
            return KORVANE_IMPORTED("pathlib", "Path")(path).attr(KORVANE_NAME("parent")).attr(KORVANE_NAME("rglob"))("*.py");
        }
    }
    return py::list();
}

py::object get_settings_modpath_relative_to_manage_path(py::object settings_path, py::object manage_path) {
    py::str joined(manage_path.attr(KORVANE_NAME("parent")).attr(KORVANE_NAME("joinpath"))(settings_path));
    return state().helpers.attr(KORVANE_NAME("module_path_from_file"))(joined);
}

struct SettingsFiles : LazySource {
    py::object target;
    py::object manage_path;
    py::object paths;  // iterator over the candidates, once found
    bool started = false;

    py::object step() override {
        if (!started) {
            started = true;
            try {
                manage_path = get_manage_file(target);
                paths = iter_of(get_settings_paths_from_manage(manage_path));
            } catch (py::error_already_set& e) {
                if (!matches_missing_or(e, false)) throw;
                return py::object();
            }
        }
        if (!paths) return py::object();
        for (;;) {
            PyObject* raw = PyIter_Next(paths.ptr());
            if (!raw) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return py::object();
            }
            py::object path = py::reinterpret_steal<py::object>(raw);
            if (!py::str(path.attr(KORVANE_NAME("name"))).contains("settings")) continue;
            if (!is_readable_project_file(path, target)) continue;
            if (!is_importable_python_file(path)) continue;
            return get_settings_modpath_relative_to_manage_path(path, manage_path);
        }
    }

    void release() override { paths = py::object(); }
};

}  // namespace

bool is_readable_project_file(py::handle path, py::handle root) {
    const char* reason = nullptr;
    if (!truthy(path.attr(KORVANE_NAME("is_file"))())) {
        reason = "not a regular file";
    } else if (leaves_root_through_link(path, root)) {
        reason = "a link leading outside the project root";
    }
    if (!reason) return true;
    state().logger.attr(KORVANE_NAME("debug"))(py::str("Skipping \"{}\": {}").format(py::str(path), reason));
    return false;
}

// The first regular file named manage.py below the target, in the recursive glob's
// order, that does not lead out of the target through a symbolic link.
py::object get_manage_file(py::object target) {
    py::object found = KORVANE_IMPORTED("pathlib", "Path")(target).attr(KORVANE_NAME("rglob"))("manage.py");
    for (;;) {
        PyObject* next = PyIter_Next(found.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            raise_bare(state().manage_missing);
        }
        py::object candidate = py::reinterpret_steal<py::object>(next);
        if (is_readable_project_file(candidate, target)) {
            found.attr(KORVANE_NAME("close"))();
            return candidate;
        }
    }
}

py::object get_settings_files(py::object target) {
    auto source = std::make_unique<SettingsFiles>();
    source->target = std::move(target);
    return make_lazy(std::move(source));
}

namespace {

// The folder of the project's manage.py, or the target itself when it has none.
py::object get_django_project_root(py::object target) {
    try {
        return py::str(get_manage_file(target).attr(KORVANE_NAME("parent")));
    } catch (py::error_already_set& e) {
        if (!e.matches(state().manage_missing)) throw;
        return target;
    }
}

py::object get_settings_modpath_from_manage(py::object manage_path) {
    return make_lazy(scan_of(manage_path));
}

// The first settings module that the project's manage.py declares, or None when there
// is no manage.py or it declares none that can be read.
py::object get_settings_modpath(py::object target) {
    try {
        py::object manage_path = get_manage_file(target);
        py::object value = scan_of(manage_path)->step();
        return value ? value : py::none();
    } catch (py::error_already_set& e) {
        if (!matches_missing_or(e, true)) throw;
        return py::none();
    }
}

}  // namespace

void register_manage(py::module_& m) {
    py::module_::import("astroid");
    py::module_::import("astroid.modutils");
    state().manage_missing = make_exception(m, "ManageFileMissingError", PyExc_OSError);

    m.def("get_manage_file", &get_manage_file, py::arg("target"));
    m.def("get_django_project_root", &get_django_project_root, py::arg("target"));
    m.def("get_settings_modpath_from_manage", &get_settings_modpath_from_manage, py::arg("manage_path"));
    m.def("get_settings_paths_from_manage", &get_settings_paths_from_manage, py::arg("manage_path"));
    m.def("get_settings_modpath_relative_to_manage_path", &get_settings_modpath_relative_to_manage_path,
          py::arg("settings_path"), py::arg("manage_path"));
    m.def("get_settings_modpath", &get_settings_modpath, py::arg("target"));
    m.def("get_settings_files", &get_settings_files, py::arg("target"));
}

}  // namespace korvane::meta

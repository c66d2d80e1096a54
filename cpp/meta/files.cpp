// Project file selection: a depth-first walk of the project's directories that
// prunes ignored directories and selects importable Python modules and templates.
#include <vector>

#include <korvane/project_files.hpp>

#include "lazy.hpp"
#include "meta.hpp"

namespace korvane::meta {

namespace {

py::object path_class() { return KORVANE_IMPORTED("pathlib", "Path"); }

bool contains(py::handle collection, py::handle item) {
    int r = PySequence_Contains(collection.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool text_has(py::handle text, const char* part) { return contains(text, py::str(part)); }

}  // namespace

bool is_importable_python_file(py::object path) {
    if (truthy(path.attr(KORVANE_NAME("is_absolute"))())) {
        path = path.attr(KORVANE_NAME("relative_to"))(KORVANE_IMPORTED("os", "getcwd")());
    }
    if (!KORVANE_NAME(".py").equal(path.attr(KORVANE_NAME("suffix")))) return false;
    py::object name = path.attr(KORVANE_NAME("name"));
    if (py::cast<Py_ssize_t>(name.attr(KORVANE_NAME("count"))(".")) != 1) return false;
    py::str text(path);
    return !text_has(text, "{") && !text_has(text, "-");
}

namespace {

// Whether one of the dotted prefixes of the module name (a, a.b, a.b.c) is ignored.
bool is_dotted_prefix_ignored(py::handle module_name, py::handle ignored_modules) {
    py::object accumulated = py::str("");
    for (py::handle part : module_name.attr(KORVANE_NAME("split"))(".")) {
        if (truthy(accumulated)) {
            accumulated = accumulated + KORVANE_NAME(".") + part;
        } else {
            accumulated = py::reinterpret_borrow<py::object>(part);
        }
        if (contains(ignored_modules, accumulated)) return true;
    }
    return false;
}

// Whether `path` or a module above it is ignored: its dotted name or its stem is an
// entry, starts with an entry as a pattern, or has a dotted prefix that is an entry.
// The tests of the name alone run once, with the first entry, so that an empty
// collection ignores nothing; the pattern test runs for every entry.
bool is_owner_ignored(py::object path, py::object ignored_modules) {
    py::object module_name = path.attr(KORVANE_NAME("stem"));
    py::object module_qname = py::str(path).attr(KORVANE_NAME("replace"))(".py", "").attr(KORVANE_NAME("replace"))(".html", "");
    py::object fnmatch = KORVANE_IMPORTED("fnmatch", "fnmatch");
    bool first = true;
    for (py::handle entry : ignored_modules) {
        if (first && (contains(ignored_modules, module_qname) || contains(ignored_modules, module_name))) {
            return true;
        }
        PyObject* formatted = PyObject_Format(entry.ptr(), nullptr);
        if (!formatted) throw py::error_already_set();
        py::object pattern = py::reinterpret_steal<py::object>(formatted) + py::str("*");
        if (truthy(fnmatch(module_qname, pattern))) return true;
        if (first) {
            first = false;
            if (is_dotted_prefix_ignored(module_name, ignored_modules)) return true;
        }
    }
    return false;
}

bool should_ignore_path(py::object path, py::object ignored_modules) {
    if (!is_importable_python_file(path) && !KORVANE_NAME(".html").equal(path.attr(KORVANE_NAME("suffix")))) return true;
    return is_owner_ignored(path, ignored_modules);
}

// The walk of `scan_tree`/`scan_trees`: one open listing per directory level.  With a
// `root`, a directory to walk that lies outside it is refused (a warning says so) and a
// symbolic link to a file outside it is passed over (a debug line says so).  A link
// loop is passed over with a debug line.
struct TreeWalk : LazySource {
    py::object wanted;       // the directories given
    py::object directories;  // iterator over the directories still to walk, once started
    py::object ignore;
    py::object root;         // null: no root test
    std::vector<py::object> listings;

    void debug(const py::str& message) { state().logger.attr(KORVANE_NAME("debug"))(message); }

    // Opens a listing; a directory that cannot be read is passed over.
    void open(py::handle directory) {
        try {
            // Looked up per directory, so that a patched `os.scandir` is seen.
            py::object scandir = py::module_::import("os").attr(KORVANE_NAME("scandir"));
            listings.push_back(scandir(directory));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_PermissionError)) throw;
            debug(py::str("Skipping \"{}\": the directory cannot be read").format(py::str(directory)));
        }
    }

    void close_top() {
        py::object listing = std::move(listings.back());
        listings.pop_back();
        listing.attr(KORVANE_NAME("close"))();
    }

    bool outside_root(py::handle entry, py::handle path, py::handle relative_path) {
        if (!root || !truthy(entry.attr(KORVANE_NAME("is_symlink"))())) return false;
        try {
            path.attr(KORVANE_NAME("relative_to"))(root);
            return false;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
        debug(py::str("Skipping \"{}\": a link to a file outside the project root").format(py::str(relative_path)));
        return true;
    }

    // The next directory given that may be walked, opened; false when none is left.
    bool open_next_directory() {
        for (;;) {
            PyObject* next = PyIter_Next(directories.ptr());
            if (!next) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return false;
            }
            py::object directory = py::reinterpret_steal<py::object>(next);
            if (root && !lies_under_root(directory, root)) {
                state().logger.attr(KORVANE_NAME("warning"))(
                    py::str("Skipping directory \"{}\": it lies outside the project root")
                        .format(py::str(directory)));
                continue;
            }
            open(directory);
            return true;
        }
    }

    // The file selected from one listing entry, or a null object when the entry is
    // passed over; a directory that is not ignored is opened for walking.
    py::object take_entry(py::handle entry) {
        py::object Path = path_class();
        py::object relative_path = Path(entry.attr(KORVANE_NAME("path")));
        py::object path;
        try {
            path = Path(entry).attr(KORVANE_NAME("resolve"))();
        } catch (py::error_already_set& e) {
            // The path library reports a loop of symbolic links as RuntimeError.
            if (!e.matches(PyExc_RuntimeError)) throw;
            debug(py::str("Skipping \"{}\": a loop of symbolic links").format(py::str(relative_path)));
            return py::object();
        }
        if (!truthy(path.attr(KORVANE_NAME("exists"))())) return py::object();
        if (truthy(path.attr(KORVANE_NAME("is_symlink"))())) return py::object();
        if (py::int_(0).equal(path.attr(KORVANE_NAME("stat"))().attr(KORVANE_NAME("st_size")))) return py::object();
        if (truthy(entry.attr(KORVANE_NAME("is_dir"))(py::arg("follow_symlinks") = false))) {
            if (!is_owner_ignored(relative_path, ignore)) open(relative_path);
            return py::object();
        }
        if (!truthy(path.attr(KORVANE_NAME("is_file"))())) return py::object();
        if (should_ignore_path(relative_path, ignore)) return py::object();
        if (outside_root(entry, path, relative_path)) return py::object();
        debug(py::str("Adding \"{}\" to list of files to analyse").format(py::str(path)));
        return path;
    }

    py::object step() override {
        if (!directories) directories = iter_of(wanted);
        for (;;) {
            if (listings.empty()) {
                if (!open_next_directory()) return py::object();
                continue;
            }
            PyObject* raw = PyIter_Next(listings.back().ptr());
            if (!raw) {
                if (PyErr_Occurred()) throw py::error_already_set();
                close_top();
                continue;
            }
            py::object path = take_entry(py::reinterpret_steal<py::object>(raw));
            if (path) return path;
        }
    }

    void release() override {
        while (!listings.empty()) close_top();
    }
};

py::object walk(py::object directories, py::object ignore, py::object root) {
    auto source = std::make_unique<TreeWalk>();
    source->wanted = std::move(directories);
    source->ignore = std::move(ignore);
    source->root = std::move(root);
    return make_lazy(std::move(source));
}

py::object scan_tree(py::object directory, py::object ignore) {
    py::list one;
    one.append(directory);
    return walk(one, ignore, py::object());
}

py::object scan_trees(py::object directories, py::object ignore) {
    return walk(directories, ignore, py::object());
}

// The files to analyse below the project root, as a mapping from each path relative
// to the root to None, in walk order.  The project's `[tool.korvane]` table adds
// entries to ignore and may name the directories to walk instead.
py::dict get_files_to_check_in_project(py::object directories, py::object ignore, py::object project_root) {
    if (!truthy(project_root)) {
        project_root = py::str(path_class()(".").attr(KORVANE_NAME("resolve"))());
    }
    py::object config = get_toml_config(project_root);
    py::object toml_ignored = config.attr(KORVANE_NAME("get"))("ignore", py::list());
    py::object ignored_modules =
        state().default_ignored_modules.attr(KORVANE_NAME("union"))(ignore).attr(KORVANE_NAME("union"))(toml_ignored);
    state().logger.attr(KORVANE_NAME("debug"))(py::str("ignoring modules: ") + py::str(ignored_modules));
    py::object configured = config.attr(KORVANE_NAME("get"))("directories");
    if (truthy(configured)) directories = configured;
    py::object paths = walk(directories, ignored_modules, path_class()(project_root));
    LazyIterator& it = py::cast<LazyIterator&>(paths);
    py::dict result;
    try {
        for (py::object path = it.next(); path; path = it.next()) {
            result[py::str(path.attr(KORVANE_NAME("relative_to"))(project_root))] = py::none();
        }
    } catch (py::error_already_set&) {
        it.finish();
        throw;
    }
    return result;
}

}  // namespace

void register_files(py::module_& m) {
    py::module_::import("fnmatch");
    py::module_::import("pathlib");
    // Version control and tool folders, the coverage report, and the Python
    // installation (for a virtual environment kept inside the project).
    py::set defaults;
    defaults.add(py::str(".git"));
    defaults.add(py::str(".tox"));
    defaults.add(py::str("htmlcov"));
    defaults.add(py::module_::import("sys").attr(KORVANE_NAME("prefix")));
    state().default_ignored_modules = defaults;
    m.attr(KORVANE_NAME("default_ignored_modules")) = defaults;
    py::object no_ignore = keep(py::set());

    m.def("is_importable_python_file", &is_importable_python_file, py::arg("path"));
    m.def("is_owner_ignored", &is_owner_ignored, py::arg("path"), py::arg("ignored_modules"));
    m.def("should_ignore_path", &should_ignore_path, py::arg("path"),
          py::arg("ignored_modules") = defaults);
    m.def("scan_tree", &scan_tree, py::arg("directory"), py::arg("ignore"));
    m.def("scan_trees", &scan_trees, py::arg("directories"), py::arg("ignore"));
    m.def("get_files_to_check_in_project", &get_files_to_check_in_project, py::arg("directories"),
          py::arg("ignore") = no_ignore, py::arg("project_root") = py::none());
}

}  // namespace korvane::meta

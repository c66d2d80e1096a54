// The project's index of field names relied on as None, one per analysis.
//
// A nullable string field (C2000) is left alone when code anywhere in the project
// relies on its NULL: stores None in an attribute of its name, compares one with None,
// passes None under its name, or looks it up with `__isnull`.  The names come from two
// places:
// - the modules the analysis lints: the model field checker collects them on its walk,
//   in this process or in the workers, whose shares come back with their results;
// - the project's other modules, when the change set names only some of them: only
//   those whose text holds the name of a field still reported are read, with the
//   parser's own trees.
// Once every module is checked, the index is complete and the C2000 records of the
// fields it names are dropped, before the fix pass; the fix of a module and the lint
// of its fixed text keep the fields of its dropped records nullable too, so both agree
// with the analysis.  The index is the same whatever the order in which the modules
// were checked, in this process or in which worker.
#include "checker.hpp"

#include <korvane/project_files.hpp>
#include <korvane/text.hpp>

#include <utility>
#include <vector>

namespace korvane::checker {

namespace {

// The linter attributes: (project root, linted paths) until the index is applied, then
// path -> the names of the fields whose records it dropped.
constexpr const char* kScope = "korvane_null_scope";
constexpr const char* kKept = "korvane_null_kept";

py::object colspecs_attr(const char* name) {
    return import_attr("korvane.staticanalysis.checkers.colspecs", name);
}

// The names the linter's model field checker collected on its walks (or merged from
// the workers' shares).
py::set walked_names(py::handle linter) {
    py::set names;
    for (py::handle checker : linter.attr("get_checkers")()) {
        py::object name = getattr_or_null(checker, KORVANE_NAME("name"));
        if (!name || !is_text(name, "colspecs")) continue;
        py::object collected = getattr_or_null(checker, KORVANE_NAME("null_reliant_names"));
        if (collected) names.attr("update")(collected);
    }
    return names;
}

bool is_c2000(py::handle record) {
    return PyDict_Check(record.ptr()) && is_text(record[py::str("message-id")], "C2000");
}

// The field name of a C2000 record, or a null object when it has none.
py::object field_name(py::handle record) {
    py::object args = record[py::str("message")];
    if (!PyDict_Check(args.ptr())) return py::object();
    PyObject* name = PyDict_GetItemString(args.ptr(), "name");
    if (!name || !PyUnicode_Check(name)) return py::object();
    return py::reinterpret_borrow<py::object>(name);
}

// The file selection of the project's files, its logger kept quiet while it lists them
// once more: what it has to say about the configuration and the walk, the road and the
// host have heard when they read them first.
py::object quietly_selected(py::handle root) {
    State& s = state();
    py::object logger = s.meta.attr("logger");
    py::object was = logger.attr("disabled");
    py::list directories;
    directories.append(root);
    logger.attr("disabled") = py::bool_(true);
    py::object selected;
    try {
        selected = s.meta.attr("get_files_to_check_in_project")(directories, py::arg("project_root") = root);
    } catch (py::error_already_set&) {
        logger.attr("disabled") = was;
        throw;
    }
    logger.attr("disabled") = was;
    return selected;
}

// Whether the file selection can find no module that the analysis does not lint: no
// regular, non-empty, importable .py file below the root (links not followed, the
// selection's default ignores left out) lies outside `inside`.  A quick test, answered
// at the first module outside, that spares the selection's slower walk when the change
// set is the whole project.
bool every_module_linted(py::handle root, const py::set& inside) {
    State& s = state();
    py::object scandir = import_attr("os", "scandir");
    py::object join = import_attr("os.path", "join");
    py::object ignored = s.meta.attr("default_ignored_modules");
    // (directory, its path relative to the root)
    std::vector<std::pair<py::object, py::object>> pending;
    pending.emplace_back(py::reinterpret_borrow<py::object>(root), py::str(""));
    while (!pending.empty()) {
        auto [directory, relative] = pending.back();
        pending.pop_back();
        try {
            py::object listing = scandir(directory);
            PyObject* all = PySequence_List(listing.ptr());
            if (!all) {
                py::error_already_set failed;
                listing.attr("close")();
                throw failed;
            }
            py::list entries = py::reinterpret_steal<py::list>(all);
            listing.attr("close")();
            for (py::handle entry : entries) {
                py::object path = join(relative, entry.attr("name"));
                if (truthy(entry.attr("is_dir")(py::arg("follow_symlinks") = false))) {
                    if (!truthy(s.meta.attr("is_owner_ignored")(s.Path(path), ignored)))
                        pending.emplace_back(entry.attr("path"), path);
                    continue;
                }
                if (!ends_with(entry.attr("name"), ".py") ||
                    !truthy(entry.attr("is_file")(py::arg("follow_symlinks") = false)))
                    continue;
                py::object size = entry.attr("stat")(py::arg("follow_symlinks") = false).attr("st_size");
                if (!truthy(size)) continue;
                if (!truthy(s.meta.attr("is_importable_python_file")(s.Path(path)))) continue;
                if (!inside.contains(path)) return false;
            }
        } catch (py::error_already_set& e) {
            // a directory that cannot be listed, an entry gone or not searchable
            if (!e.matches(PyExc_OSError)) throw;
            return false;  // the selection's own walk decides
        }
    }
    return true;
}

// The project's modules that the analysis does not lint, relative to the root; none,
// with a warning, when the project's files cannot be listed.
py::list modules_outside(py::handle project_root, py::handle linted) {
    State& s = state();
    py::object normpath = import_attr("os.path", "normpath");
    py::set inside;
    for (py::handle path : linted) inside.add(normpath(path));
    py::list outside;
    py::object root = import_attr("os.path", "realpath")(project_root);
    if (every_module_linted(root, inside)) return outside;
    try {
        for (py::handle path : quietly_selected(root)) {
            if (ends_with(path, ".py") && !inside.contains(normpath(path))) outside.append(path);
        }
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        s.logger.attr("warning")(py::str("The modules outside the change set are left out of the "
                                         "index of fields relied on as None: {}: {}")
                                     .format(type_name(e.value()), e.value()));
    }
    return outside;
}

// The candidates that the module at `path` relies on as None; none when it cannot be
// read or parsed (logged at debug level).
py::set relied_in_module(py::handle root, py::handle path, py::handle candidates) {
    State& s = state();
    py::set found;
    py::object data;
    try {
        py::object where = import_attr("os.path", "join")(root, path);
        py::object file = open_regular_text(where, py::dict(), "rb");
        if (!file) return found;  // no regular file: nothing to read
        data = read_and_close(file);
        bool named = false;
        for (py::handle name : candidates) {
            if (contains(data, name.attr("encode")("utf-8"))) {
                named = true;
                break;
            }
        }
        if (!named) return found;
        py::object names = colspecs_attr("_null_reliant_names_in_source")(data, path);
        for (py::handle name : candidates)
            if (contains(names, name)) found.add(name);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        s.logger.attr("debug")(py::str("Not read for the index of fields relied on as None: {}: {}")
                                   .format(path, e.value()));
    }
    return found;
}

// Adds to `index` those of `candidates` that the project's other modules rely on.
void scan_outside(py::handle scope, py::set candidates, py::set& index) {
    py::object root = scope[py::int_(0)];
    for (py::handle path : modules_outside(root, scope[py::int_(1)])) {
        py::set found = relied_in_module(root, path, candidates);
        for (py::handle name : found) {
            index.add(name);
            candidates.attr("discard")(name);
        }
        if (candidates.empty()) return;
    }
}

}  // namespace

void note_null_scope(py::handle linter, py::handle project_root, py::handle linted_paths) {
    py::list paths(py::reinterpret_borrow<py::object>(linted_paths));
    linter.attr(KORVANE_NAME(kScope)) = py::make_tuple(project_root, paths);
}

void apply_null_index(py::handle linter) {
    py::object scope = getattr_or_null(linter, KORVANE_NAME(kScope));
    if (!scope || scope.is_none()) return;
    linter.attr(KORVANE_NAME(kScope)) = py::none();
    py::object records = linter.attr("reporter").attr("messages");
    py::set index = walked_names(linter);
    py::set candidates;
    for (py::handle record : records) {
        py::object name = is_c2000(record) ? field_name(record) : py::object();
        if (name && !index.contains(name)) candidates.add(name);
    }
    if (!candidates.empty()) scan_outside(scope, candidates, index);

    py::list kept_records;
    py::dict kept;  // path -> names of the fields left nullable
    for (py::handle record : records) {
        py::object name = is_c2000(record) ? field_name(record) : py::object();
        if (!name || !index.contains(name)) {
            kept_records.append(record);
            continue;
        }
        py::object path = record[py::str("path")];
        if (!kept.contains(path)) kept[path] = py::list();
        kept[path].attr("append")(name);
        state().logger.attr("debug")(py::str("C2000 left out: {}:{}: {} is relied on as None")
                                         .format(path, record[py::str("line")], name));
    }
    if (PyList_SetSlice(records.ptr(), 0, PY_SSIZE_T_MAX, kept_records.ptr()) < 0)
        throw py::error_already_set();
    linter.attr(KORVANE_NAME(kKept)) = kept;
}

py::object null_kept_names(py::handle linter, py::handle path) {
    py::object kept = getattr_or_null(linter, KORVANE_NAME(kKept));
    if (!kept || !PyDict_Check(kept.ptr())) return py::none();
    PyObject* names = PyDict_GetItemWithError(kept.ptr(), path.ptr());
    if (!names && PyErr_Occurred()) throw py::error_already_set();
    return names ? py::reinterpret_borrow<py::object>(names) : py::none();
}

void use_null_index(py::handle names) { colspecs_attr("_use_null_index")(names); }

}  // namespace korvane::checker

// Django requirement resolution: the first Django requirement of the project's
// dependency files (then of `setup.py`) that admits a supported release decides.

#include "dependencies.hpp"

#include <korvane/project_files.hpp>

namespace korvane::dependencies {

namespace {

py::object path_class() { return KORVANE_IMPORTED("pathlib", "Path"); }

// The requirement before pip options (`--hash=...`, `-e`): the first blank followed
// by "-" starts them.
py::object without_options(py::handle line) {
    static py::object& options =
        keep(py::module_::import("re").attr("compile")(py::str("[ \\t\\n\\v\\f\\r]+-")));
    py::object found = options.attr(KORVANE_NAME("search"))(line);
    if (found.is_none()) return py::reinterpret_borrow<py::object>(line);
    Py_ssize_t start = found.attr(KORVANE_NAME("start"))().cast<Py_ssize_t>();
    PyObject* head = PySequence_GetSlice(line.ptr(), 0, start);
    if (!head) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(head);
}

// The specifier text as the requirement grammar reads it, or a null object for a line
// the grammar cannot read even without its pip options.
py::object specifier_of(py::object text) {
    State& s = state();
    py::object parse = s.requirement.attr(KORVANE_NAME("parseString"));
    try {
        return parse(text).attr(KORVANE_NAME("specifier"));
    } catch (py::error_already_set& e) {
        if (!e.matches(s.parse_error)) throw;
    }
    if (!PyUnicode_Check(text.ptr())) return py::object();
    py::object shorter = without_options(text);
    if (shorter.equal(text)) return py::object();
    try {
        return parse(shorter).attr(KORVANE_NAME("specifier"));
    } catch (py::error_already_set& e) {
        if (!e.matches(s.parse_error)) throw;
    }
    return py::object();
}

py::object get_django_version_from_dependency(py::object dependency, py::object file_type) {
    if (!KORVANE_NAME("django").equal(dependency.attr(KORVANE_NAME("name")).attr(KORVANE_NAME("lower"))())) return py::none();
    py::object contains = dependency.attr(KORVANE_NAME("specs")).attr(KORVANE_NAME("contains"));
    py::object version;
    for (const auto& candidate : state().candidates) {
        if (truthy(contains(candidate.first))) {
            version = candidate.second;
            break;
        }
    }
    if (!version) return py::none();

    py::object line = dependency.attr(KORVANE_NAME("line"));
    py::object split = line.attr(KORVANE_NAME("split"));
    if (line.contains(" #")) {
        line = split(" #", 1)[py::int_(0)];
        split = line.attr(KORVANE_NAME("split"));
    }
    if (line.contains("\\")) {
        // A continuation backslash right behind the requirement (no blank before it):
        // what stands before it is the requirement.
        line = split(line.contains(" \\") ? " \\" : "\\", 1)[py::int_(0)];
    }
    py::object specs = specifier_of(line);
    if (!specs) return py::none();

    py::dict details;
    details["path"] = file_type;
    details["version"] = version;
    details["specs"] = specs;
    return details;
}

// The text of a dependency file of the project, or a null object when the file is
// skipped: a link that leads out of the project root, or not a regular file (a FIFO
// would block the read).
py::object read_dependency_file(py::handle path, py::handle root, const py::dict& options) {
    if (leaves_root_through_link(path, root)) {
        warn_skipped(state().logger, path, "a link leading outside the project root");
        return py::object();
    }
    py::object file = open_regular_text(path, options);
    if (!file) {
        warn_skipped(state().logger, path, "not a regular file");
        return py::object();
    }
    return read_and_close(file);
}

py::object resolve_via_dparse(py::object project_root_path) {
    State& s = state();
    for (py::handle file_type : s.dparse_file_types) {
        py::object path = project_root_path.attr(KORVANE_NAME("__truediv__"))(file_type);
        if (!truthy(path.attr(KORVANE_NAME("exists"))())) continue;
        // A byte-order mark (as Windows editors write it) is no part of the first line.
        py::dict options;
        options["encoding"] = "utf-8-sig";
        options["errors"] = "ignore";
        py::object text = read_dependency_file(path, project_root_path, options);
        if (!text) continue;
        py::object parsed = s.dparse_parse(text, py::arg("file_type") = file_type);
        for (py::handle dependency : parsed.attr(KORVANE_NAME("dependencies"))) {
            py::object details = get_django_version_from_dependency(
                py::reinterpret_borrow<py::object>(dependency), py::reinterpret_borrow<py::object>(file_type));
            if (truthy(details)) return details;
        }
    }
    return py::none();
}

py::object resolve_via_setup_py(py::object project_root_path) {
    State& s = state();
    py::object path = project_root_path.attr(KORVANE_NAME("__truediv__"))("setup.py");
    if (!truthy(path.attr(KORVANE_NAME("exists"))())) return py::none();
    py::object text = read_dependency_file(path, project_root_path, py::dict());
    if (!text) return py::none();
    // Python reads a source file that starts with a byte-order mark as UTF-8 without it.
    if (truthy(text.attr(KORVANE_NAME("startswith"))("\ufeff"))) {
        PyObject* rest = PySequence_GetSlice(text.ptr(), 1, PY_SSIZE_T_MAX);
        if (!rest) throw py::error_already_set();
        text = py::reinterpret_steal<py::object>(rest);
    }
    py::object tree = KORVANE_IMPORTED("astroid", "parse")(text);
    py::object line_parse = s.line_parser.attr(KORVANE_NAME("parse"));
    py::str setup_py("setup.py");
    for (py::handle node : tree.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Const"))) {
        py::object value = node.attr(KORVANE_NAME("value"));
        if (!PyUnicode_Check(value.ptr())) continue;
        py::object stripped = value.attr(KORVANE_NAME("strip"))();
        if (!truthy(stripped)) continue;
        py::object dependency;
        try {
            dependency = line_parse(stripped);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            continue;
        }
        if (!truthy(dependency)) continue;
        py::object details = get_django_version_from_dependency(dependency, setup_py);
        if (truthy(details)) return details;
    }
    return py::none();
}

}  // namespace

py::object resolve_django_version(py::object project_root) {
    py::object root = path_class()(project_root);
    py::object details = resolve_via_dparse(root);
    if (truthy(details)) return details;
    details = resolve_via_setup_py(root);
    return truthy(details) ? details : py::none();
}

namespace {

// Every patch release up to this one is tried for each minor version: enough for
// the longest-lived of them (1.11 ended at 1.11.29).
constexpr int kPatchReleases = 30;

// The releases a requirement is tested against, in order: each minor version's patch
// releases from .0 up, the oldest minor version first.  The first one the requirement
// admits gives the project's minor version.
void build_candidates(State& s) {
    for (const Release& release : kReleases) {
        for (int patch = 0; patch < kPatchReleases; ++patch) {
            s.candidates.emplace_back(py::str(std::string(release.version) + "." + std::to_string(patch)),
                                      py::str(release.version));
        }
    }
}

// The dependency files read through dparse, in the order they are looked for.
py::list dparse_file_types() {
    py::object filetypes = py::module_::import("dparse.filetypes");
    py::list file_types;
    for (const char* name : {"requirements_txt", "conda_yml", "setup_cfg", "pipfile_lock", "pipfile"}) {
        file_types.append(filetypes.attr(name));
    }
    return file_types;
}

}  // namespace

void register_resolve(py::module_& m) {
    State& s = state();
    py::module_::import("itertools");
    py::module_::import("pathlib");
    py::module_::import("astroid");
    s.dparse_parse = py::module_::import("dparse").attr(KORVANE_NAME("parse"));
    s.dparse_file_types = dparse_file_types();
    s.line_parser = py::module_::import("dparse.parser").attr(KORVANE_NAME("RequirementsTXTLineParser"));
    // Only the pyparsing-based requirement parser has this grammar: without it the
    // module does not import.
    s.requirement = py::module_::import("packaging.requirements").attr(KORVANE_NAME("REQUIREMENT"));
    s.parse_error = py::module_::import("pyparsing").attr(KORVANE_NAME("ParseBaseException"));
    build_candidates(s);
    m.attr(KORVANE_NAME("dparse_file_types")) = s.dparse_file_types;

    m.def("resolve_django_version", &resolve_django_version, py::arg("project_root"));
    m.def("resolve_django_version_via_dparse", &resolve_via_dparse, py::arg("project_root_path"));
    m.def("resolve_django_version_via_setup_py", &resolve_via_setup_py, py::arg("project_root_path"));
    m.def("get_django_version_from_dependency", &get_django_version_from_dependency, py::arg("dependency"),
          py::arg("file_type"));
}

}  // namespace korvane::dependencies

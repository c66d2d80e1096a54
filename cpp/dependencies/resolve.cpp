// Django requirement resolution: the first Django requirement of the project's
// dependency files (then of `setup.py`) that admits a supported release decides.
#include <cctype>
#include <string>

#include "dependencies.hpp"

namespace korvane::dependencies {

namespace {

py::object Path() { return KORVANE_IMPORTED("pathlib", "Path"); }

// The requirement before pip options (`--hash=...`, `-e`): the first blank followed
// by "-" starts them.
std::string without_options(const std::string& line) {
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            size_t j = i;
            while (j < line.size() && std::isspace(static_cast<unsigned char>(line[j]))) ++j;
            if (j < line.size() && line[j] == '-') return line.substr(0, i);
            i = j - 1;
        }
    }
    return line;
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
    std::string line = py::cast<std::string>(text);
    std::string shorter = without_options(line);
    if (shorter == line) return py::object();
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

// The whole text of an open file; the file is closed also when reading fails.
py::object read_and_close(py::object file) {
    py::object text;
    try {
        text = file.attr(KORVANE_NAME("read"))();
    } catch (py::error_already_set&) {
        file.attr(KORVANE_NAME("close"))();
        throw;
    }
    file.attr(KORVANE_NAME("close"))();
    return text;
}

py::object resolve_via_dparse(py::object project_root_path) {
    State& s = state();
    py::object open = py::module_::import("builtins").attr(KORVANE_NAME("open"));
    for (py::handle file_type : s.dparse_file_types) {
        py::object path = project_root_path.attr(KORVANE_NAME("__truediv__"))(file_type);
        if (!truthy(path.attr(KORVANE_NAME("exists"))())) continue;
        py::object text = read_and_close(
            open(path, "r", py::arg("encoding") = "utf8", py::arg("errors") = "ignore"));
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
    py::object text =
        read_and_close(py::module_::import("builtins").attr(KORVANE_NAME("open"))(path, "r"));
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
    py::object root = Path()(project_root);
    py::object details = resolve_via_dparse(root);
    if (truthy(details)) return details;
    details = resolve_via_setup_py(root);
    return truthy(details) ? details : py::none();
}

void register_resolve(py::module_& m) {
    m.def("resolve_django_version", &resolve_django_version, py::arg("project_root"));
    m.def("resolve_django_version_via_dparse", &resolve_via_dparse, py::arg("project_root_path"));
    m.def("resolve_django_version_via_setup_py", &resolve_via_setup_py, py::arg("project_root_path"));
    m.def("get_django_version_from_dependency", &get_django_version_from_dependency, py::arg("dependency"),
          py::arg("file_type"));
}

}  // namespace korvane::dependencies

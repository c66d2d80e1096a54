// Dotted module paths of project files and reading of source files as lines.
#include "helpers.hpp"

#include <korvane/project_files.hpp>

namespace korvane::helpers {

namespace {

// The dotted path under which the file is importable from the module search path;
// every directory on the way counts as a package, with or without `__init__.py`.
py::str module_path_from_file(py::object path, py::object /*file*/) {
    static py::object& every_directory = keep(py::cpp_function(
        [](py::object, py::object) { return true; }, py::name("is_package"),
        py::arg("path"), py::arg("parts")));
    py::object parts = KORVANE_IMPORTED("astroid.modutils", "modpath_from_file_with_callback")(
        path, py::none(), py::arg("is_package_cb") = every_directory);
    return py::str(".").attr("join")(parts);
}

py::object read_code_from_file(py::object path) {
    return read_and_close(KORVANE_IMPORTED("builtins", "open")(path, "r"), "readlines");
}

}  // namespace

void register_module_paths(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.modutils", "modpath_from_file_with_callback");
    (void)KORVANE_IMPORTED("builtins", "open");

    m.def("module_path_from_file", &module_path_from_file, py::arg("path"),
          py::arg("file") = py::none(),
          "The dotted module path of a file on the module search path.");
    m.def("read_code_from_file", &read_code_from_file, py::arg("path"),
          "The lines of a text file, each with its line end.");
}

}  // namespace korvane::helpers

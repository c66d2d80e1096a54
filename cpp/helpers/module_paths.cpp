// Dotted module paths of project files and reading of source files as lines.
#include "helpers.hpp"

#include <korvane/project_files.hpp>
#include <korvane/text.hpp>

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

// The file's lines.  Without an encoding, the file is decoded as the interpreter
// decodes a module: by its coding cookie, else as UTF-8; a byte-order mark stays at the
// start of the first line, as the file holds it.  Line ends are made "\n".
py::object read_code_from_file(py::object path, py::object encoding) {
    py::object& open = KORVANE_IMPORTED("builtins", "open");
    if (!encoding.is_none()) return read_and_close(open(path, "r", py::arg("encoding") = encoding), "readlines");
    py::object data = read_and_close(open(path, "rb"));
    py::object& bytes_io = KORVANE_IMPORTED("io", "BytesIO");
    py::object detected = KORVANE_IMPORTED("tokenize", "detect_encoding")(bytes_io(data).attr("readline"));
    encoding = detected[py::int_(0)];
    if (is_text(encoding, "utf-8-sig")) encoding = py::str("utf-8");
    py::object text = KORVANE_IMPORTED("io", "TextIOWrapper")(bytes_io(data), py::arg("encoding") = encoding);
    return read_and_close(text, "readlines");
}

}  // namespace

void register_module_paths(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.modutils", "modpath_from_file_with_callback");
    (void)KORVANE_IMPORTED("builtins", "open");

    m.def("module_path_from_file", &module_path_from_file, py::arg("path"),
          py::arg("file") = py::none(),
          "The dotted module path of a file on the module search path.");
    (void)KORVANE_IMPORTED("io", "BytesIO");
    (void)KORVANE_IMPORTED("io", "TextIOWrapper");
    (void)KORVANE_IMPORTED("tokenize", "detect_encoding");
    m.def("read_code_from_file", &read_code_from_file, py::arg("path"),
          py::arg("encoding") = py::none(),
          "The lines of a text file, each with its line end: decoded in `encoding`, or, "
          "without one, as the interpreter decodes a module (coding cookie, else UTF-8; a "
          "byte-order mark stays at the start of the first line).");
}

}  // namespace korvane::helpers

// The project-level fix road: the fixed texts of a project's files from the change
// producer, and writing them in place.
#include "transformer.hpp"

namespace korvane::transformer {

namespace {

// The change producer's result for the project, unconsumed: it formats with the
// project's own code style and fixes the settings module discovery finds.
py::object transform_files(py::object project_root, py::object whitelist) {
    State& s = state();
    py::object settings_modpath = s.meta.attr("get_settings_modpath")(project_root);
    py::object code_style = s.meta.attr("get_code_style")(project_root);
    return s.diff.attr("get_diff_plaintext")(
        py::arg("project_root") = project_root, py::arg("whitelist") = whitelist,
        py::arg("settings_modpath") = settings_modpath, py::arg("code_style") = code_style);
}

// Reads the producer's whole result before anything is written: a later path replaces
// the text of an earlier equal one and keeps its place.  Every path is checked and
// every text encoded before the first file is touched (write_project_files); a result
// that says what each file held when it was read (`read_digests`) has each file
// checked against it.
py::list trasform_files_in_place(py::object project_root, py::object whitelist) {
    py::object produced = state().module.attr("transform_files")(
        py::arg("project_root") = project_root, py::arg("whitelist") = whitelist);
    py::dict texts;
    for (py::handle item : produced) {
        py::object pair = py::reinterpret_borrow<py::object>(item);
        py::tuple unpacked = py::module_::import("builtins").attr("tuple")(pair);
        if (unpacked.size() != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected (text, path) pairs from the change producer, got %R",
                         pair.ptr());
            throw py::error_already_set();
        }
        texts[unpacked[1]] = unpacked[0];
    }
    py::object read = korvane::getattr_or_null(produced, KORVANE_NAME("read_digests"));
    return write_project_files(project_root, texts, read ? read : py::none());
}

}  // namespace

void register_project(py::module_& m) {
    m.def("transform_files", &transform_files, py::arg("project_root"), py::arg("whitelist"),
          "The change producer's (new text, relative path) pairs for the project's files.");
    m.def("trasform_files_in_place", &trasform_files_in_place, py::arg("project_root"),
          py::arg("whitelist"),
          "Writes the fixed texts into the project's files and returns their paths.");
}

}  // namespace korvane::transformer

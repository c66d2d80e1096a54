// Loading pylint without the project's configuration files.
#pragma once

#include "common.hpp"

namespace korvane {

// Imports `pylint.config` from the folder of this package.  pylint 2.12 looks for its
// configuration file when `pylint.config` is first imported, and reads the working
// directory's pyproject.toml and setup.cfg to do so: a file its readers cannot take
// ends the import, and the analysis never uses what it finds anyway.  The package
// folder holds no such file.  The working directory is restored afterwards; once
// pylint is loaded this does nothing.  Each module calls it before its first import
// of pylint.  The move of the working directory is seen by the whole process; modules
// are loaded before the analysis starts any work.
inline void import_pylint() {
    py::object modules = py::module_::import("sys").attr("modules");
    if (modules.contains("pylint.config")) return;
    py::object os = py::module_::import("os");

    py::object folder;
    py::object package = modules.attr("get")("korvane.staticanalysis");
    if (!package.is_none()) {
        py::object path = getattr_or_null(package, KORVANE_NAME("__path__"));
        if (path) {
            for (py::handle entry : path) {
                folder = py::reinterpret_borrow<py::object>(entry);
                break;
            }
        }
    }
    py::object saved;
    if (folder) {
        try {
            saved = os.attr("getcwd")();
            os.attr("chdir")(folder);
        } catch (py::error_already_set& e) {
            // A working directory that is gone holds no file to read either.
            if (!e.matches(PyExc_OSError)) throw;
            saved = py::object();
        }
    }
    // The import finders remember directory listings: after the move back they must
    // not answer from the package folder's listing for the working directory's.
    auto restore = [&] {
        if (!saved) return;
        os.attr("chdir")(saved);
        py::module_::import("importlib").attr("invalidate_caches")();
    };
    try {
        py::module_::import("pylint.config");
    } catch (py::error_already_set&) {
        restore();
        throw;
    }
    restore();
}

}  // namespace korvane

// Module meta: project discovery.  Shared state and the functions that the
// concerns of the module call across files.
#pragma once

#include <korvane/module.hpp>

#include <functional>

namespace korvane::meta {

// Module-level objects, set when the module loads.
struct State : korvane::ModuleState {
    py::object helpers;                  // korvane.staticanalysis.helpers
    py::object shims;                    // korvane.staticanalysis.shims
    py::object manage_missing;           // ManageFileMissingError
    py::object default_ignored_modules;  // set of the four default entries
    py::object fake_context;             // FakeContext
    py::object fake_parameter;           // FakeParameter
};
State& state();

// Python's `with` around one call: enters `cm`, runs `body` with what `__enter__`
// handed out, and leaves the block also when `body` raises.
py::object with_block(py::handle cm, const std::function<py::object(py::object)>& body);

// The builder of a settings read: parses `source` inside one settings-transform block.
py::object settings_build(py::handle source, py::handle modname, py::handle path);

// Reads a text file whole (platform encoding), closing it on every path.  Only a
// regular file is read: anything else raises OSError instead of blocking.
py::object read_text(py::handle path);

// Whether a project file found by a search may be read: a regular file that does not
// lead out of `root` through a symbolic link.  A debug line names a file passed over.
bool is_readable_project_file(py::handle path, py::handle root);

// Logs `message` at error level with the traceback of the caught error.
void log_exception(const char* message, py::error_already_set& e);

// Module functions that the other files of the module call.
py::object get_toml_config(py::object project_root);
bool is_importable_python_file(py::object path);
py::object get_manage_file(py::object target);
py::object get_settings_files(py::object target);

void register_config(py::module_& m);
void register_files(py::module_& m);
void register_manage(py::module_& m);
void register_settings(py::module_& m);

}  // namespace korvane::meta

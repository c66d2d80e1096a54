// Module transformer: every fix applied to one source text, and a project's files
// fixed in place.  Shared declarations of its translation units.
#pragma once

#include <korvane/common.hpp>
#include <korvane/module.hpp>

namespace korvane::transformer {

// The module's handle, its siblings (called through their attributes at call time, so
// that a replaced attribute is seen) and the one default `noise` list.
struct State : korvane::ModuleState {
    py::object checker;     // korvane.staticanalysis.checker
    py::object diff;        // korvane.staticanalysis.diff
    py::object helpers;     // korvane.staticanalysis.helpers
    py::object suggest;     // korvane.staticanalysis.suggest
    py::object meta;        // korvane.staticanalysis.meta
    py::object migrations;  // korvane.staticanalysis.checkers.migrations
    py::object colspecs;    // korvane.staticanalysis.checkers.colspecs
    py::object ormcalls;    // korvane.staticanalysis.checkers.ormcalls
    py::object urls;        // korvane.staticanalysis.checkers.urls
    py::object settings;    // korvane.staticanalysis.checkers.settings
    py::object default_noise;  // made once; read, never changed
};
State& state();

// Registers every fix of the checker modules, and the settings fixes whose codes are
// not in `noise`, on `visitor`.  `reported` maps each code the lint of the text raised to
// the lines it was raised on: a fix runs only on a node whose finding was reported.
// Each (code, node) a fix runs on is appended to `hits` unless it is None.
void register_fix_table(py::handle visitor, py::handle noise, py::handle settings_modpath,
                        py::handle reported, py::handle hits);

// The codes of the findings the fix table answers; those of its settings rows.
py::frozenset fixed_codes();
py::frozenset fixed_settings_codes();

// Writes `texts` (path relative to `project_root` -> new text) into the project, all or
// nothing, and returns the paths written: every path and every text is checked first,
// a read-only or hard-linked file is left out with a warning, each file must still hold
// what was read (`read_digests`: path -> sha256 of the bytes the fixes were made from, or
// None) up to its own replace, and each file is replaced whole, the originals put back
// on any failure; SIGINT, SIGTERM and SIGHUP wait until the writing is done or undone.
py::list write_project_files(py::handle project_root, py::dict texts, py::handle read_digests);

// A name that the fixed `text` reads more often than `source` and that is bound
// nowhere it is read (module, enclosing scopes, builtins), or a null object.  The
// text is built under the module's name and path, through the process-wide manager.
py::object unbound_new_name(py::handle source, py::handle text, py::handle filepath, py::handle modname);

// transform_code.
void register_transform_code(py::module_& m);
// The fixer that the change producer hands to the analysis: ProjectFixer.
void register_project_fixer(py::module_& m);
// transform_files and trasform_files_in_place.
void register_project(py::module_& m);

}  // namespace korvane::transformer

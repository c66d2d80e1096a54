// Module suggest: fix suggestions for review comments.  Shared declarations of its
// translation units.
#pragma once

#include <korvane/common.hpp>
#include <korvane/module.hpp>

#include <array>

namespace korvane::suggest {

// The module's handle and logger, and the siblings it calls.  Siblings are called
// through their attributes at call time, so that a replaced attribute is seen.
struct State : korvane::ModuleState {
    py::object constants;    // korvane.staticanalysis.constants: the fixable-code sets
    py::object helpers;      // korvane.staticanalysis.helpers
    py::object meta;         // korvane.staticanalysis.meta
    py::object templates;    // korvane.staticanalysis.checkers.templates
    py::object colspecs;     // korvane.staticanalysis.checkers.colspecs
    py::object settings;     // korvane.staticanalysis.checkers.settings
    py::object migrations;   // korvane.staticanalysis.checkers.migrations
    py::object ormcalls;     // korvane.staticanalysis.checkers.ormcalls
    py::object urls;         // korvane.staticanalysis.checkers.urls
};
State& state();

// Whether a node is a placeholder of a blank line or whole-line comment: the token
// view sets `non_code_placeholder` on each one it adds.  Never raises.
bool is_placeholder(py::handle node);

// `text` with each pragma comment that black left on the last line of a statement
// spanning several lines moved to the end of its first line, where that line ends with
// an opening bracket; `text` itself when it does not tokenize.
py::object pragmas_to_first_lines(py::object text);

// `a, b, c = value`, with the interpreter's errors for another number of values.
std::array<py::object, 3> unpack_three(py::handle value);

// astroid's node-to-source visitor class.
py::object visitor_base();

// A visitor's attribute `name` looked up the ordinary way; a `visit_` method comes
// back wrapped by `wrap(self, method)`, so that every node the visitor renders through
// a lookup passes through the wrapper.
py::object wrapped_visit_lookup(py::object self, py::object name,
                                py::object (*wrap)(py::object, py::object));

// The comment-keeping renderer: node_as_string, CommentAwareAsStringVisitor.
void register_render(py::module_& m);
// The record of a tree before its fixes: record_tree.
void register_tree_record(py::module_& m);
// The renderer of changed nodes that keeps the text of unchanged parts.
void register_kept_render(py::module_& m);
// The fixed text as edits of the original: edited_text, LostCommentError.
void register_edited_text(py::module_& m);
// Formatting generated code in the project's style: get_indentation,
// get_comma_character_target, format_code and the quote normalisers.
void register_format(py::module_& m);
// Fixing one statement through the checker modules' fixes.
void register_dispatch(py::module_& m);
// Suggestions for a finding line of a Python module.
void register_python_lines(py::module_& m);
// Suggestions for a finding line of an HTML template.
void register_html_lines(py::module_& m);
// The suggestion road's entry point and the review comments it builds.
void register_driver(py::module_& m);

}  // namespace korvane::suggest

// Suggestions for one finding line of a Python module: a disable pragma, or the
// statement as the checkers' fixes left it, the other statements they edited and the
// statements they created, each formatted in the project's style.
#include <korvane/text.hpp>

#include "python_lines.hpp"
#include "source_edits.hpp"
#include "token_lines.hpp"

namespace korvane::suggest {

namespace {

// Logged with the traceback when created code cannot be formatted.
const char* const kCreatedFormatFailed = "Failed to apply Black format to generated code.";
// Between pieces of created code, and between created code and the code beside it:
// one blank line.
const char* const kBlankLine = "\n\n";

// What the parts of one call share: the token view, its module tree, whether
// generated code is indented, the project's code style, and the formatter bound to it.
struct Request {
    py::object atok;
    py::object tree;
    py::object indent;
    py::object code_style;
    py::object formatter;
};

py::list make_item(py::object first, py::object last, py::object text) {
    py::list item;
    item.append(first);
    item.append(last);
    item.append(text);
    return item;
}

}  // namespace

std::array<py::object, 3> unpack_three(py::handle value) {
    py::object it = korvane::iter_of(value);
    std::array<py::object, 3> parts;
    for (int i = 0; i < 3; ++i) {
        PyObject* part = PyIter_Next(it.ptr());
        if (!part) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            throw py::error_already_set();
        }
        parts[i] = py::reinterpret_steal<py::object>(part);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return parts;
}

namespace {

// Formats one piece at an indentation in the project's style, with the quote target
// of the whole file, made once per call: as it will stand in the file, so its lines
// with their indentation keep to the style's line length.
py::object make_formatter(py::handle atok, py::handle code_style) {
    py::module_& m = state().module;
    py::object target = m.attr("get_comma_character_target")(atok.attr(KORVANE_NAME("text")));
    py::object style = py::reinterpret_borrow<py::object>(code_style);
    return py::cpp_function(
        [style, target](py::object code, py::object indentation) {
            return format_statement(korvane::concat(indentation, code), style, target);
        },
        py::name("formatter"), py::arg("code"), py::arg("indentation"));
}

// The text of an existing statement that the fixes edited, as the fix road writes
// it: the file's own text with only what they changed edited, each region that an
// edit reshaped formatted in the project's style, at the statement's indentation (none
// when re-indentation is off: only the value False turns it off).  An ordinary error
// (a comment the edit would drop, code the formatter refuses) is logged as the
// record's message and answers a null object.
py::object edited_statement(const Request& r, py::handle node) {
    py::object code;
    try {
        code = state().module.attr("edited_text")(py::arg("atok") = r.atok, py::arg("node") = node,
                                                  py::arg("code_style") = r.code_style);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        state().logger.attr("error")(e.value());
        return py::object();
    }
    py::object line = node.attr(KORVANE_NAME("first_token")).attr(KORVANE_NAME("line"));
    py::object indentation = state().module.attr("get_indentation")(line);
    py::str placed = korvane::concat(indentation, code);
    if (r.indent.ptr() == Py_False) return dedented(placed, indentation);
    return std::move(placed);
}

// The item of an existing statement over its lines first..last: its edited text, or
// none when it is `removed`.  False when its text failed, or when other code shares
// those lines: the replacement would lose that code, and the other items of the group
// may rely on this one (an import, a call of the name it imports), so the group gets
// no suggestion.
bool add_replacement(py::list& items, const Request& r, py::handle node, py::object first,
                     py::object last, bool removed = false) {
    if (shares_lines_with_other_code(r.atok, node, as_long(first), as_long(last))) return false;
    py::object text = removed ? py::object(py::str("")) : edited_statement(r, node);
    if (!text) return false;
    items.append(make_item(first, last, text));
    return true;
}

// Items for the other existing statements that the fixes edited, over the lines
// from their first token's start to their last token's end.  False when one of them
// can have no item.
bool add_edited_statements(py::list& items, const Request& r) {
    py::object edited = r.tree.attr(KORVANE_NAME("replace_other_nodes"));
    if (!korvane::truthy(edited)) return true;
    for (py::handle node : edited) {
        py::object first = py::int_(start_line(node.attr(KORVANE_NAME("first_token"))));
        py::object last = py::int_(end_line(node.attr(KORVANE_NAME("last_token"))));
        if (!add_replacement(items, r, node, first, last)) return false;
    }
    return true;
}

void log_created_failure(py::error_already_set& e) {
    py::object value = e.value();
    if (e.trace() && !e.trace().is_none()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
    state().logger.attr("exception")(kCreatedFormatFailed, py::arg("exc_info") = value);
}

// The formatted created statements, imports apart from the rest, each kind joined
// with a blank line; a statement that cannot be formatted is logged and left out.
std::pair<py::str, py::str> format_created(const Request& r, py::handle created) {
    py::handle import_classes[] = {KORVANE_IMPORTED("astroid", "Import"),
                                   KORVANE_IMPORTED("astroid", "ImportFrom")};
    py::list imports, others;
    for (py::handle node : created) {
        py::object formatted;
        try {
            formatted = r.formatter(py::arg("code") = node.attr("as_string")(),
                                    py::arg("indentation") = "");
        } catch (py::error_already_set& e) {
            if (!korvane::is_ordinary(e)) throw;
            log_created_failure(e);
            continue;
        }
        bool is_import = korvane::isinstance(node, import_classes[0]) ||
                         korvane::isinstance(node, import_classes[1]);
        (is_import ? imports : others).append(formatted);
    }
    return {korvane::join(kBlankLine, imports), korvane::join(kBlankLine, others)};
}

py::list fix_suggestions(py::handle atok, py::handle node, py::handle message_ids,
                         py::handle code_style, py::handle settings_modpath, py::handle indent) {
    py::module_& m = state().module;
    std::array<py::object, 3> fixed = unpack_three(m.attr("get_suggestion_for_python")(
        py::arg("atok") = atok, py::arg("node") = node, py::arg("message_ids") = message_ids,
        py::arg("settings_modpath") = settings_modpath));
    Request r{py::reinterpret_borrow<py::object>(atok), atok.attr(KORVANE_NAME("tree")),
              py::reinterpret_borrow<py::object>(indent),
              py::reinterpret_borrow<py::object>(code_style), make_formatter(atok, code_style)};
    py::list items;
    // The statement changed: its item carries its text as the fix road writes it; a
    // statement removed (a setting deleted) has none, and its lines go.
    if (!fixed[2].is_none()) {
        bool removed = PyUnicode_Check(fixed[2].ptr()) && PyUnicode_GET_LENGTH(fixed[2].ptr()) == 0;
        if (!add_replacement(items, r, node, fixed[0], fixed[1], removed)) return py::list();
    }
    if (!add_edited_statements(items, r)) return py::list();
    py::object created = r.tree.attr(KORVANE_NAME("new_nodes"));
    if (!korvane::truthy(created)) return items;
    std::pair<py::str, py::str> code = format_created(r, created);
    place_created_code(items, atok, code.first, code.second);
    return items;
}

py::list get_suggestions_for_python(py::object atok, py::object line, py::object message_ids,
                                    py::object code_style, py::object settings_modpath,
                                    py::object indent) {
    State& s = state();
    py::object symbols = import_attr("korvane.staticanalysis.checker", "message_id_symbol_store");
    py::object tree = atok.attr(KORVANE_NAME("tree"));
    py::object node = s.helpers.attr("find_node_by_position")(tree, py::arg("line") = line);
    // Fixes collect the statements they create and the other ones they edit on these
    // lists of the module; they start empty for every finding line.
    tree.attr(KORVANE_NAME("new_nodes")) = py::list();
    tree.attr(KORVANE_NAME("replace_other_nodes")) = py::list();
    if (node.is_none()) return py::list();
    int pragma = PySequence_Contains(message_ids.ptr(), s.constants.attr("SKIP_LINE_ID").ptr());
    if (pragma < 0) throw py::error_already_set();
    if (pragma) return pragma_suggestions(atok, node, line, message_ids, symbols);
    return fix_suggestions(atok, node, message_ids, code_style, settings_modpath, indent);
}

}  // namespace

void register_python_lines(py::module_& m) {
    m.def("get_suggestions_for_python", &get_suggestions_for_python, py::arg("atok"),
          py::arg("line"), py::arg("message_ids"), py::arg("code_style"),
          py::arg("settings_modpath"), py::arg("indent") = true,
          "The suggestions for one finding line of a Python module: lists [first line, last "
          "line, text] replacing whole lines of the file.");
}

}  // namespace korvane::suggest

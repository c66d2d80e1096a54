// Suggestions for a finding line of an HTML template: the line with its hard-coded
// static-file paths turned into the static-files tag by the template rewriter, and
// the tag library's load tag where the template does not load it yet.
#include "suggest.hpp"

#include <korvane/text.hpp>

namespace korvane::suggest {

namespace {

// The code whose line is rewritten and that needs the static-files tag library.
constexpr const char* kStaticUrlCode = "C7001";
// The load tag the rewritten line needs, and the spellings that load the library
// already (compared on the template with its whitespace folded).
constexpr const char* kLoadStatic = "{% load static %}";
constexpr const char* kLoadedSpellings[] = {
    "{% load static %}", "{% load static from staticfiles %}", "{% load staticfiles %}"};
// The extends tag: Django rejects any tag before it, a load tag included, and reads a
// tag within one line.
constexpr const char* kExtendsPattern = "\\{%[^\\S\\n]*extends[^\\S\\n][^\\n]*?%\\}";

py::object compiled(const char* pattern) {
    return KORVANE_IMPORTED("re", "compile")(py::str(pattern));
}

py::object& extends_tag() {
    static py::object& pattern = keep(compiled(kExtendsPattern));
    return pattern;
}

// `text.strip()`: without leading and trailing whitespace.
py::object stripped(py::handle text) {
    return py::reinterpret_borrow<py::object>(text).attr(KORVANE_NAME("strip"))();
}

py::object add(py::handle a, long b) {
    PyObject* r = PyNumber_Add(a.ptr(), py::int_(b).ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace

py::tuple read_code_line(py::object code_lines, py::object line_number) {
    // Lines count from 1; a number below that names no line (a negative index would
    // read a line from the end).
    py::object index = add(line_number, -1);
    int negative = PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT);
    if (negative < 0) throw py::error_already_set();
    if (negative) {
        PyErr_SetString(PyExc_IndexError, "line number out of range");
        throw py::error_already_set();
    }
    py::object text = code_lines[index];
    py::object code = text.attr(KORVANE_NAME("lstrip"))();
    py::object indentation = state().module.attr("get_indentation")(text);
    return py::make_tuple(code, indentation);
}

py::object get_suggestion_for_html(py::object code, py::object message_ids,
                                   py::object settings) {
    if (truthy(settings[KORVANE_NAME("STATIC_URL")])) {
        py::object visitor = state().templates.attr("build_transformer_visitor")(
            py::arg("message_ids") = message_ids, py::arg("settings") = settings);
        code = visitor.attr("visit")(code);
    }
    return stripped(code);
}

py::object normalize_django_template(py::object template_content) {
    static py::object& whitespace = keep(compiled("\\s+"));
    return whitespace.attr("sub")(py::str(" "), template_content);
}

// The 0-based index of the line the load tag goes before: None when the template
// loads the library already, the line after the one holding the extends tag when
// there is one (possibly one past the last line), else 0.
py::object get_staticfile_template_tag_insertion_point(py::object content) {
    py::object folded = state().module.attr("normalize_django_template")(content);
    for (const char* spelling : kLoadedSpellings) {
        if (contains(folded, py::str(spelling))) return py::none();
    }
    py::object found = extends_tag().attr("search")(content);
    if (found.is_none()) return py::int_(0);
    py::object before = content[py::slice(py::int_(0), found.attr("start")(), py::none())];
    return add(before.attr("count")("\n"), 1);
}

// The insertion point over the template's lines and the stripped text of the line it
// names; the text is None when the point lies past the last line (a template that
// ends with its extends tag).
py::tuple get_staticfile_template_tag_insertion_point_and_current(py::object code_lines) {
    // The lines keep their line ends, so joined as they are the text counts lines as
    // the list does.
    py::object point =
        state().module.attr("get_staticfile_template_tag_insertion_point")(join("", code_lines));
    if (point.is_none()) return py::make_tuple(py::none(), py::none());
    int past = PyObject_RichCompareBool(point.ptr(), py::int_(py::len(code_lines)).ptr(), Py_GE);
    if (past < 0) throw py::error_already_set();
    if (past) return py::make_tuple(point, py::none());
    return py::make_tuple(point, stripped(code_lines[point]));
}

namespace {

// `text` with the load tag right after its extends tag, or at its end when the tag is
// not found.
py::object after_extends(py::object text) {
    py::object found = extends_tag().attr("search")(text);
    if (found.is_none()) return concat(concat(text, py::str("\n")), py::str(kLoadStatic));
    py::object end = found.attr("end")();
    py::object head = text[py::slice(py::int_(0), end, py::none())];
    py::object tail = text[py::slice(end, py::none(), py::none())];
    return concat(concat(head, py::str(kLoadStatic)), tail);
}

// One template line as the answer to the group leaves it: rewritten, at its own
// indentation, or null when the rewriter leaves it as it is.
py::object rewritten_line(py::object code_lines, py::object line, py::object message_ids,
                          py::object settings) {
    py::object module = state().module;
    py::tuple read = module.attr("read_code_line")(py::arg("code_lines") = code_lines,
                                                   py::arg("line_number") = line);
    py::object code = read[0];
    py::object suggestion = module.attr("get_suggestion_for_html")(
        py::arg("code") = code, py::arg("message_ids") = message_ids,
        py::arg("settings") = settings);
    if (equals(stripped(suggestion), stripped(code))) return py::object();
    return concat(read[1], suggestion);
}

// The load tag as a suggestion over one line: before the line at `point`, or after the
// extends tag of the last line when the point lies past it.  The line it covers comes
// rewritten when the rewriter changes it, so every group of a template gets the same
// item, and the group of that line gets both changes in one.
py::tuple load_tag_item(py::object code_lines, py::object point, py::object current,
                        py::object message_ids, py::object settings) {
    bool after_last = current.is_none();
    py::object target = after_last ? py::object(py::int_(py::len(code_lines))) : add(point, 1);
    py::object text = rewritten_line(code_lines, target, message_ids, settings);
    if (!text) text = after_last ? stripped(code_lines[add(target, -1)]) : current;
    if (after_last) return py::make_tuple(target, target, after_extends(text));
    return py::make_tuple(target, target,
                          concat(concat(py::str(kLoadStatic), py::str("\n")), text));
}

py::list get_suggestions_for_html(py::object code_lines, py::object line,
                                  py::object message_ids, py::object settings) {
    py::list result;
    py::object text = rewritten_line(code_lines, line, message_ids, settings);
    if (!text) return result;
    py::object point;
    if (contains(message_ids, py::str(kStaticUrlCode))) {
        py::tuple found = state().module.attr(
            "get_staticfile_template_tag_insertion_point_and_current")(code_lines);
        point = found[0];
        if (!point.is_none() && equals(point, line)) {
            // The finding stands on the extends line: the tag goes right after the
            // extends tag, before the static tags that follow it on the line.
            result.append(py::make_tuple(line, line, after_extends(text)));
            return result;
        }
        if (!point.is_none()) {
            py::tuple load = load_tag_item(code_lines, point, found[1], message_ids, settings);
            if (equals(load[0], line)) {
                result.append(load);
                return result;
            }
            result.append(py::make_tuple(line, line, text));
            result.append(load);
            return result;
        }
    }
    result.append(py::make_tuple(line, line, text));
    return result;
}

}  // namespace

void register_html_lines(py::module_& m) {
    (void)KORVANE_IMPORTED("re", "compile");
    m.def("get_suggestions_for_html", &get_suggestions_for_html, py::arg("code_lines"),
          py::arg("line"), py::arg("message_ids"), py::arg("settings"),
          "The finding line with its static paths rewritten, and the load tag the "
          "template still lacks.");
    m.def("get_suggestion_for_html", &get_suggestion_for_html, py::arg("code"),
          py::arg("message_ids"), py::arg("settings"),
          "One template line run through the template rewriter, stripped.");
    m.def("read_code_line", &read_code_line, py::arg("code_lines"), py::arg("line_number"),
          "The line without its leading whitespace, and that whitespace.");
    m.def("normalize_django_template", &normalize_django_template,
          py::arg("template_content"), "Folds every run of whitespace into one blank.");
    m.def("get_staticfile_template_tag_insertion_point_and_current",
          &get_staticfile_template_tag_insertion_point_and_current, py::arg("code_lines"),
          "Where the load tag goes among the lines, and the stripped line it goes before.");
    m.def("get_staticfile_template_tag_insertion_point",
          &get_staticfile_template_tag_insertion_point, py::arg("content"),
          "The 0-based line the load tag goes before, or None when the library is loaded.");
}

}  // namespace korvane::suggest

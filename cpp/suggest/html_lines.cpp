// Suggestions for a finding line of an HTML template: the line with its hard-coded
// static-file paths turned into the static-files tag by the template rewriter, and
// the tag library's load tag where the template does not load it yet.
#include "suggest.hpp"

#include <korvane/text.hpp>

#include <algorithm>
#include <utility>

namespace korvane::suggest {

namespace {

// The code whose line is rewritten and that needs the static-files tag library.
constexpr const char* kStaticUrlCode = "C7001";
// The load tag the rewritten line needs.
constexpr const char* kLoadStatic = "{% load static %}";
// The libraries that hold the `static` tag.
constexpr const char* kStaticLibraries[] = {"static", "staticfiles"};
// The byte-order mark that may start a template's first line.
constexpr const char* kByteOrderMark = "\xef\xbb\xbf";

py::object compiled(const char* pattern) {
    return KORVANE_IMPORTED("re", "compile")(py::str(pattern));
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

Py_ssize_t length_of(py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// `text[from:to]`, `to` < 0 meaning the end.
py::str part(py::handle text, Py_ssize_t from, Py_ssize_t to = -1) {
    PyObject* r = PyUnicode_Substring(text.ptr(), from, to < 0 ? PY_SSIZE_T_MAX : to);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// A template line without its line feed (lines are read with universal newlines).
py::str without_line_end(py::handle line) {
    Py_ssize_t n = length_of(line);
    return part(line, 0, n > 0 && PyUnicode_READ_CHAR(line.ptr(), n - 1) == '\n' ? n - 1 : n);
}

bool is_static_library(py::handle name) {
    for (const char* library : kStaticLibraries)
        if (is_text(name, library)) return true;
    return false;
}

// Whether a load tag's words make the `static` tag usable, as Django's `load` reads
// them: `{% load a static b %}` loads whole libraries, `{% load x y from lib %}` only
// the named tags of one.
bool loads_static(const py::list& bits) {
    size_t n = bits.size();
    if (n >= 4 && is_text(bits[n - 2], "from")) {
        if (!is_static_library(bits[n - 1])) return false;
        for (size_t i = 1; i + 2 < n; ++i)
            if (is_text(bits[i], "static")) return true;
        return false;
    }
    for (size_t i = 1; i < n; ++i)
        if (is_static_library(bits[i])) return true;
    return false;
}

// What the block tags of a template (as Django's parser reads them: comments and
// verbatim text hold none) say about the static tag: where its extends tag ends, and
// where the first load tag that loads the library ends; -1 for none.  Django reads
// a load tag where it stands: a tag above it is not loaded.
struct TemplateTags {
    Py_ssize_t extends_end = -1;
    Py_ssize_t loaded_at = -1;
};

TemplateTags template_tags(py::handle text) {
    TemplateTags found;
    for (py::handle tag : state().templates.attr("block_tags")(text)) {
        py::list bits = tag[py::int_(2)].attr("split")();
        if (bits.empty()) continue;
        Py_ssize_t end = py::cast<Py_ssize_t>(tag[py::int_(1)]);
        if (found.extends_end < 0 && is_text(bits[0], "extends")) found.extends_end = end;
        if (found.loaded_at < 0 && is_text(bits[0], "load") && loads_static(bits))
            found.loaded_at = end;
        if (found.extends_end >= 0 && found.loaded_at >= 0) break;
    }
    return found;
}

// The number of line feeds in `text` before `offset`.
Py_ssize_t lines_before(py::handle text, Py_ssize_t offset) {
    Py_ssize_t count = PyUnicode_Count(text.ptr(), py::str("\n").ptr(), 0, offset);
    if (count < 0) throw py::error_already_set();
    return count;
}

// The 0-based line the load tag goes before: -1 when the library is loaded before the
// offset `needed_at`, the line after the one holding the extends tag when there is
// one (Django takes no tag before it; possibly one past the last line), else 0.
Py_ssize_t insertion_index(py::handle text, const TemplateTags& tags, Py_ssize_t needed_at) {
    if (tags.loaded_at >= 0 && tags.loaded_at <= needed_at) return -1;
    if (tags.extends_end < 0) return 0;
    return lines_before(text, tags.extends_end) + 1;
}

Py_ssize_t needed_at_of(py::handle needed_at) {
    return needed_at.is_none() ? PY_SSIZE_T_MAX : py::cast<Py_ssize_t>(needed_at);
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

py::object get_staticfile_template_tag_insertion_point(py::str content, py::object needed_at) {
    Py_ssize_t index = insertion_index(content, template_tags(content), needed_at_of(needed_at));
    if (index < 0) return py::none();
    return py::int_(index);
}

// The insertion point over the template's lines and the line it names, without its
// line end; the line is None when the point lies past the last line (a template that
// ends with its extends tag).
py::tuple get_staticfile_template_tag_insertion_point_and_current(py::object code_lines,
                                                                  py::object needed_at) {
    // The lines keep their line ends, so joined as they are the text counts lines as
    // the list does.
    py::object point = state().module.attr("get_staticfile_template_tag_insertion_point")(
        join("", code_lines), needed_at);
    if (point.is_none()) return py::make_tuple(py::none(), py::none());
    int past = PyObject_RichCompareBool(point.ptr(), py::int_(py::len(code_lines)).ptr(), Py_GE);
    if (past < 0) throw py::error_already_set();
    if (past) return py::make_tuple(point, py::none());
    return py::make_tuple(point, without_line_end(code_lines[point]));
}

namespace {

// One template as a group's answer reads it: its lines, their text and its tags.
struct Template {
    py::object lines;
    py::str text;
    TemplateTags tags;
    py::object message_ids;
    py::object settings;
};

// The offset in the template's text at which line `number` (from 1) starts.
Py_ssize_t line_start(const Template& t, long number) {
    Py_ssize_t offset = 0;
    for (long i = 0; i + 1 < number; ++i) offset += length_of(t.lines[py::int_(i)]);
    return offset;
}

// The length of the common start of two texts.
Py_ssize_t common_start(py::handle a, py::handle b) {
    Py_ssize_t n = std::min(length_of(a), length_of(b)), i = 0;
    while (i < n && PyUnicode_READ_CHAR(a.ptr(), i) == PyUnicode_READ_CHAR(b.ptr(), i)) ++i;
    return i;
}

// A line as the rewriter leaves it, at its own indentation, and the offset in the
// template of its first changed character; a null text when the rewriter leaves it as
// it is.
std::pair<py::object, Py_ssize_t> rewritten(const Template& t, long number) {
    py::object module = state().module;
    py::tuple read = module.attr("read_code_line")(py::arg("code_lines") = t.lines,
                                                   py::arg("line_number") = number);
    py::object code = read[0];
    py::object suggestion = module.attr("get_suggestion_for_html")(
        py::arg("code") = code, py::arg("message_ids") = t.message_ids,
        py::arg("settings") = t.settings);
    if (equals(stripped(suggestion), stripped(code))) return {py::object(), -1};
    Py_ssize_t at = line_start(t, number) + length_of(read[1]) + common_start(code, suggestion);
    return {concat(read[1], suggestion), at};
}

// Whether a static tag at `offset` would stand before the extends tag, which Django
// takes only as the template's first tag.
bool before_extends(const Template& t, Py_ssize_t offset) {
    return t.tags.extends_end >= 0 && offset < t.tags.extends_end;
}

// The text of line `number` in the load tag's item: rewritten where the rewriter
// changes it after the extends tag, else as it is without its line end.
py::object line_text(const Template& t, long number) {
    auto [text, at] = rewritten(t, number);
    if (text && !before_extends(t, at)) return text;
    return without_line_end(t.lines[py::int_(number - 1)]);
}

// The load tag as a suggestion over one line: before the template's first line (after
// a byte-order mark), before the line after the extends tag, or on the extends tag's
// own line right after the tag when more follows it there or no line follows.  The
// line it covers comes rewritten when the rewriter changes it, so every group of a
// template gets the same item, and the group of that line gets both changes in one.
py::tuple load_tag_item(const Template& t, Py_ssize_t index) {
    py::str load(kLoadStatic);
    long count = static_cast<long>(py::len(t.lines));
    if (t.tags.extends_end < 0) {
        py::str text = line_text(t, 1);
        py::str mark(kByteOrderMark);
        bool marked = truthy(text.attr("startswith")(mark));
        py::str rest = marked ? part(text, 1) : text;
        py::str lead = marked ? concat(mark, load) : load;
        return py::make_tuple(1, 1, concat(concat(lead, py::str("\n")), rest));
    }
    long extends_line = static_cast<long>(index);  // from 1: the line before `index`
    Py_ssize_t column = t.tags.extends_end - line_start(t, extends_line);
    py::str after = without_line_end(t.lines[py::int_(extends_line - 1)]);
    bool alone = !truthy(stripped(part(after, column)));
    if (alone && index < count) {
        return py::make_tuple(index + 1, index + 1,
                              concat(concat(load, py::str("\n")), line_text(t, index + 1)));
    }
    py::str text = line_text(t, extends_line);
    return py::make_tuple(extends_line, extends_line,
                          concat(concat(part(text, 0, column), load), part(text, column)));
}

py::list get_suggestions_for_html(py::object code_lines, py::object line,
                                  py::object message_ids, py::object settings) {
    py::list result;
    py::str text = join("", code_lines);
    Template t{code_lines, text, template_tags(text), message_ids, settings};
    auto [rewrite, at] = rewritten(t, py::cast<long>(line));
    // Nothing to rewrite, or a static tag Django would reject before the extends tag.
    if (!rewrite || before_extends(t, at)) return result;
    Py_ssize_t index = contains(message_ids, py::str(kStaticUrlCode))
                           ? insertion_index(text, t.tags, at) : -1;
    if (index < 0) {
        result.append(py::make_tuple(line, line, rewrite));
        return result;
    }
    py::tuple load = load_tag_item(t, index);
    if (!equals(load[0], line)) result.append(py::make_tuple(line, line, rewrite));
    result.append(load);
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
          py::arg("needed_at") = py::none(),
          "Where the load tag goes among the lines, and the line it goes before.");
    m.def("get_staticfile_template_tag_insertion_point",
          &get_staticfile_template_tag_insertion_point, py::arg("content"),
          py::arg("needed_at") = py::none(),
          "The 0-based line the load tag goes before, or None when a load tag of the "
          "library takes effect before the offset `needed_at` (by default, anywhere).");
}

}  // namespace korvane::suggest

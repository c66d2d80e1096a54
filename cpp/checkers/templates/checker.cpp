// The template checker: an HTML parser that reads template files and records
// hard-coded root-relative URLs (C7000) and static-file paths (C7001).
#include "templates.hpp"

#include <korvane/checker_class.hpp>
#include <korvane/project_files.hpp>

namespace korvane::templates {

namespace {

// True for a root-relative path: non-empty, not "/" alone, starting with "/" but not
// with "//" (a protocol-relative URL).  Never raises: anything but text is no path.
bool is_hardcoded_path(py::handle value) {
    if (!value || !PyUnicode_Check(value.ptr())) return false;
    PyObject* text = value.ptr();
    if (PyUnicode_READY(text) < 0) {
        clear_ordinary_error();
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return false;
    if (PyUnicode_READ_CHAR(text, 0) != '/') return false;
    if (length == 1) return false;
    return PyUnicode_READ_CHAR(text, 1) != '/';
}

// One rule: every pair whose name is `attribute` and whose value is a hard-coded path
// raises `code`; C7001 carries the value under `path` in a new mapping.
void apply_rule(py::object self, py::handle attrs, const py::str& attribute,
                const py::str& code, bool with_path) {
    py::object add_message;
    for (py::handle item : attrs) {
        auto [name, value] = unpack_pair(item);
        if (!equals(name, attribute) || !is_hardcoded_path(value)) continue;
        if (!add_message) add_message = self.attr(KORVANE_NAME("add_message"));
        if (with_path) {
            py::dict context;
            context[KORVANE_NAME("path")] = value;
            add_message(code, py::arg("args") = context);
        } else {
            add_message(code);
        }
    }
}

// The template's text, or a null object when it is skipped: not a regular file, or
// bytes that do not decode.  A missing path or a directory raises as `open` does.
py::object read_template(py::handle path) {
    py::object file = open_regular_text(path);
    if (!file) {
        warn_skipped(state().logger, path, py::str("not a regular file"), "template");
        return py::object();
    }
    try {
        return read_and_close(file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        warn_skipped(state().logger, path, py::str("it does not decode ({})").format(e.value()),
                     "template");
        return py::object();
    }
}

void check(py::object self, py::object files) {
    self.attr(KORVANE_NAME("messages")) = py::list();
    for (py::handle path : files) {
        self.attr(KORVANE_NAME("current_file_path")) = path;
        py::object text = read_template(path);
        if (!text) continue;
        py::object messages = self.attr(KORVANE_NAME("messages"));
        Py_ssize_t before = PyObject_Length(messages.ptr());
        if (before < 0) throw py::error_already_set();
        try {
            self.attr(KORVANE_NAME("feed"))(blank_template_comments(text));
        } catch (py::error_already_set& e) {
            // Markup the HTML parser gives up on (a bracketed conditional comment raises
            // NotImplementedError, older parsers fail assertions): the template is
            // skipped as a whole, the records of its part read so far included.
            if (!is_ordinary(e)) throw;
            warn_skipped(state().logger, path,
                         py::str("the HTML parser cannot read it ({}: {})")
                             .format(e.type().attr("__name__"), e.value()),
                         "template");
            if (PySequence_DelSlice(messages.ptr(), before, PY_SSIZE_T_MAX) < 0)
                throw py::error_already_set();
        }
        // The next file starts at line 1, column 0, with an empty buffer.
        self.attr(KORVANE_NAME("reset"))();
    }
}

void add_one_message(py::object self, py::object code, py::object args) {
    py::tuple position(self.attr(KORVANE_NAME("getpos"))());
    if (position.size() != 2) {
        PyErr_SetString(PyExc_ValueError, "getpos() must give (line, column)");
        throw py::error_already_set();
    }
    py::object entry = self.attr(KORVANE_NAME("msgs"))[code];
    py::object template_ = entry[py::int_(0)];
    PyObject* message = PyNumber_Remainder(template_.ptr(), args.ptr());
    if (!message) throw py::error_already_set();

    py::dict record;
    record[KORVANE_NAME("path")] = self.attr(KORVANE_NAME("current_file_path"));
    record[KORVANE_NAME("line")] = position[0];
    record[KORVANE_NAME("message")] = py::reinterpret_steal<py::object>(message);
    record[KORVANE_NAME("type")] = py::none();
    record[KORVANE_NAME("column")] = position[1];
    record[KORVANE_NAME("module")] = py::none();
    record[KORVANE_NAME("symbol")] = py::none();
    record[KORVANE_NAME("hint")] = py::none();
    record[KORVANE_NAME("message-id")] = code;
    py::object messages = self.attr(KORVANE_NAME("messages"));
    if (PyList_Check(messages.ptr())) {
        if (PyList_Append(messages.ptr(), record.ptr()) < 0) throw py::error_already_set();
    } else {
        messages.attr(KORVANE_NAME("append"))(record);
    }
}

// The checker's findings: code -> (symbol, description).
const std::initializer_list<MessageRow> kMessages = {
    {"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
    {"C7001", "hard-coded-static-url", "Check if hard-coded static url is used in template"},
};

// `add_message(code, args)`: goes through `add_one_message`, so that a subclass
// replacing the latter sees every finding.
void add_message(py::object self, py::object code, py::object args) {
    self.attr(KORVANE_NAME("add_one_message"))(code, py::arg("args") = args);
}

// Hands the start tag's attributes to its `visit_<tag>` rule, where there is one.
void handle_starttag(py::object self, py::object tag, py::object attrs) {
    py::object handler = start_tag_handler(self, tag);
    if (handler) handler(attrs);
}

void visit_a(py::object self, py::object attrs) {
    apply_rule(self, attrs, KORVANE_NAME("href"), KORVANE_NAME("C7000"), false);
}

void visit_link(py::object self, py::object attrs) {
    apply_rule(self, attrs, KORVANE_NAME("href"), KORVANE_NAME("C7001"), true);
}

void visit_element_with_src(py::object self, py::object attrs) {
    apply_rule(self, attrs, KORVANE_NAME("src"), KORVANE_NAME("C7001"), true);
}

void register_base_checker(py::module_& m) {
    py::dict ns;
    ns["__doc__"] = py::str(
        "Reads template files with the HTML parser and collects the records that the "
        "`visit_<tag>` rules raise, at the position of each start tag.");
    py::object base = make_class(
        m, "BaseTemplateChecker", py::make_tuple(KORVANE_IMPORTED("html.parser", "HTMLParser")), ns);
    def_method(base, "check", &check, py::arg("files"));
    // Each default is one empty mapping, shared by every finding raised without context.
    def_method(base, "add_message", &add_message, py::arg("code"), py::arg("args") = py::dict());
    def_method(base, "add_one_message", &add_one_message, py::arg("code"),
               py::arg("args") = py::dict());
    def_method(base, "handle_starttag", &handle_starttag, py::arg("tag"), py::arg("attrs"));
}

void register_template_checker(py::module_& m) {
    py::dict ns;
    ns["__doc__"] = py::str(
        "The template checker: C7000 for a hard-coded URL on a link, C7001 for a "
        "hard-coded static path on a stylesheet link or a media or script source.");
    ns["msgs"] = make_msgs(kMessages);
    py::object checker =
        make_class(m, "Checker", py::make_tuple(m.attr("BaseTemplateChecker")), ns);
    def_method(checker, "visit_a", &visit_a, py::arg("attrs"));
    def_method(checker, "visit_link", &visit_link, py::arg("attrs"));
    alias_src_visitors(checker, def_method(checker, "visit_element_with_src",
                                           &visit_element_with_src, py::arg("attrs")));
}

}  // namespace

void register_checker(py::module_& m) {
    make_codes(m, kMessages);
    m.def("is_hardcoded_path", [](py::object value) { return is_hardcoded_path(value); },
          py::arg("value"), "Whether a value is a hard-coded root-relative path.");
    register_base_checker(m);
    register_template_checker(m);
}

}  // namespace korvane::templates

// Files that cannot be linted.  A module whose bytes do not become source text (an
// unknown coding cookie, bytes that do not decode, a null character) or do not parse
// gets one syntax-error finding E0001 at the line of the fault.  Any other failure
// while a file is checked becomes the library's fatal record for that file; no crash
// report is written, in the parent process or in a worker, and the other files of the
// pass keep their findings.
#include "checker.hpp"

#include <korvane/project_files.hpp>
#include <korvane/text.hpp>

#include <algorithm>
#include <memory>

namespace korvane::checker {

namespace {

// The line (from 1) of the character at `offset`: one more than the line breaks
// before it ("\n", "\r\n" or a lone "\r", as the tokenizer counts them).
template <typename At>
Py_ssize_t line_at(Py_ssize_t length, Py_ssize_t offset, At at) {
    Py_ssize_t line = 1;
    for (Py_ssize_t i = 0; i < offset && i < length; ++i) {
        Py_UCS4 c = at(i);
        if (c == '\n' || (c == '\r' && (i + 1 >= length || at(i + 1) != '\n'))) ++line;
    }
    return line;
}

Py_ssize_t line_in_bytes(py::handle data, Py_ssize_t offset) {
    const char* raw = PyBytes_AS_STRING(data.ptr());
    return line_at(PyBytes_GET_SIZE(data.ptr()), offset,
                   [raw](Py_ssize_t i) { return static_cast<Py_UCS4>(static_cast<unsigned char>(raw[i])); });
}

Py_ssize_t line_in_text(py::handle text, Py_ssize_t offset) {
    PyObject* t = text.ptr();
    if (PyUnicode_READY(t) < 0) throw py::error_already_set();
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    return line_at(PyUnicode_GET_LENGTH(t), offset,
                   [kind, data](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); });
}

// The line of the first null character of a source text, or 0 when it holds none.
Py_ssize_t null_character_line(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) return 0;
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    Py_ssize_t at = PyUnicode_FindChar(text.ptr(), 0, 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2) throw py::error_already_set();
    return at < 0 ? 0 : line_in_text(text, at);
}

py::object read_bytes(py::handle filepath) {
    return read_and_close(py::module_::import("builtins").attr("open")(filepath, "rb"));
}

// The line where `raw` stops being text in `encoding` (the line of the first byte that
// does not decode, or of the first null character), or 0 when it reads well.  A codec
// that yields no text points at the coding cookie, on line `cookie_line`.
Py_ssize_t decoded_fault_line(py::handle raw, py::object encoding, Py_ssize_t cookie_line) {
    py::object body = py::reinterpret_borrow<py::object>(raw);
    Py_ssize_t skipped = 0;
    if (KORVANE_NAME("utf-8-sig").equal(encoding)) {
        // the byte-order mark is no source text; offsets stay those of the file
        encoding = py::str("utf-8");
        if (truthy(raw.attr("startswith")(py::bytes("\xef\xbb\xbf")))) {
            skipped = 3;
            body = raw[py::slice(3, PyBytes_GET_SIZE(raw.ptr()), 1)];
        }
    }
    py::object text;
    try {
        text = body.attr("decode")(encoding);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_UnicodeDecodeError)) {
            py::object start = e.value().attr("start");
            return line_in_bytes(raw, skipped + py::cast<Py_ssize_t>(start));
        }
        // a cookie naming a codec that yields no text: the cookie's line
        if (e.matches(PyExc_LookupError)) return std::max<Py_ssize_t>(1, cookie_line);
        throw;
    }
    return null_character_line(text);
}

// The line where a module file stops being source text, found the way the tokenizer
// reads it: the line of the coding cookie or of the first lines' bytes that the
// encoding detection rejects, the line of the first byte that does not decode, the
// line of the first null character.  0 when none of these is found.
Py_ssize_t unreadable_line(py::handle filepath) {
    py::object raw = read_bytes(filepath);
    if (!PyBytes_Check(raw.ptr())) return 0;

    // the encoding detection reads at most two lines; the last one read is the culprit
    py::object readline = py::module_::import("io").attr("BytesIO")(raw).attr("readline");
    auto lines_read = std::make_shared<Py_ssize_t>(0);
    py::cpp_function counting(
        [readline, lines_read]() {
            ++*lines_read;
            return readline();
        },
        py::name("readline"));
    py::object detected;
    try {
        detected = KORVANE_IMPORTED("tokenize", "detect_encoding")(counting);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError)) throw;
        return std::max<Py_ssize_t>(1, *lines_read);
    }
    return decoded_fault_line(raw, detected[py::int_(0)], *lines_read);
}

// The error's own line, when it names one (from 1); 0 otherwise.
Py_ssize_t own_line(py::handle error) {
    py::object lineno = korvane::getattr_or_null(error, KORVANE_NAME("lineno"));
    if (!lineno || !PyLong_Check(lineno.ptr())) return 0;
    Py_ssize_t line = PyLong_AsSsize_t(lineno.ptr());
    if (line == -1 && PyErr_Occurred()) {
        clear_ordinary_error();
        return 0;
    }
    return line > 0 ? line : 0;
}

// The line of a module that fails to become source text, looked up again in the file
// or the text; line 1 when it cannot be found (the file cannot be read again, or it
// reads well now).
Py_ssize_t fault_line(py::handle filepath, py::handle data) {
    try {
        Py_ssize_t line = data.is_none() ? unreadable_line(filepath) : null_character_line(data);
        return line > 0 ? line : 1;
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return 1;
    }
}

}  // namespace

void add_syntax_error(py::handle linter, py::handle error, py::handle filepath, py::handle data) {
    Py_ssize_t line = own_line(error);
    py::object offset = py::none();
    if (line) {
        py::object o = korvane::getattr_or_null(error, KORVANE_NAME("offset"));
        if (o) offset = o;
    } else {
        line = fault_line(filepath, data);
    }
    linter.attr("add_message")("syntax-error", py::arg("line") = line,
                               py::arg("col_offset") = offset, py::arg("args") = py::str(error));
}

namespace {

bool is_decoding_failure(py::handle error) {
    PyObject* cause = PyException_GetCause(error.ptr());
    if (!cause) return false;
    bool decoding = PyObject_IsInstance(cause, PyExc_UnicodeError) == 1;
    Py_DECREF(cause);
    return decoding;
}

}  // namespace

void store_as_declared(py::handle tree, py::handle text) {
    if (tree.is_none() || !PyUnicode_Check(text.ptr())) return;
    py::object utf8 = text.attr("encode")("utf-8", "surrogatepass");
    py::object lines = py::module_::import("io").attr("BytesIO")(utf8).attr("readline");
    py::object encoding;
    try {
        encoding = py::module_::import("tokenize").attr("detect_encoding")(lines)[py::int_(0)];
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return;  // an unknown cookie: the library reports it as it reads the bytes
    }
    if (is_text(encoding, "utf-8") || is_text(encoding, "utf-8-sig")) return;
    try {
        tree.attr("file_bytes") = text.attr("encode")(encoding);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeError) && !e.matches(PyExc_LookupError)) throw;
    }
}

namespace {

// Logs a failure at debug level with its traceback.
void log_failure(py::handle message, py::error_already_set& e) {
    if (e.trace() && !e.trace().is_none())
        PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
    state().logger.attr("debug")(message, py::arg("exc_info") = e.value());
}

// The library's `get_ast`, with every failure to make source text of a module
// reported as E0001 at a line (the library reports some with no line at all, which
// its message store rejects, and others as a parse error).
py::object get_ast(py::object self, py::object filepath, py::object modname, py::object data) {
    py::object manager = KORVANE_IMPORTED("astroid", "MANAGER");
    try {
        if (data.is_none())
            return manager.attr("ast_from_file")(filepath, modname, py::arg("source") = true);
        py::object tree = KORVANE_IMPORTED("astroid.builder", "AstroidBuilder")(manager)
                              .attr("string_build")(data, modname, filepath);
        store_as_declared(tree, data);
        return tree;
    } catch (py::error_already_set& e) {
        State& s = state();
        if (e.matches(s.AstroidSyntaxError)) {
            py::object error = korvane::getattr_or_null(e.value(), KORVANE_NAME("error"));
            add_syntax_error(self, error && !error.is_none() ? error : e.value(), filepath, data);
        } else if (e.matches(KORVANE_IMPORTED("astroid", "AstroidBuildingError"))) {
            if (is_decoding_failure(e.value()))
                add_syntax_error(self, e.value(), filepath, data);
            else
                self.attr("add_message")("parse-error", py::arg("args") = e.value());
        } else if (korvane::is_ordinary(e)) {
            // the traceback (thousands of lines for a RecursionError) goes to the debug
            // log; the fatal record names the failure
            log_failure(py::str("Failed to build the tree of {}").format(filepath), e);
            self.attr("add_message")("astroid-error",
                                     py::arg("args") = py::make_tuple(e.type(), e.value()));
        } else {
            throw;
        }
    }
    return py::none();
}

// A failure while checking one file: the library's fatal record for it, without the
// crash report that the library writes into its home folder (a copy of the file's
// source, read again as UTF-8, which fails for the very files that land here).
void report_failed_file(py::handle linter, py::handle filepath, py::error_already_set& e) {
    State& s = state();
    py::object message = py::str("Fatal error while checking '{}': {}: {}")
                             .format(filepath, e.type().attr("__name__"), e.value());
    log_failure(message, e);
    if (korvane::isinstance(e.value(), s.AstroidError))
        linter.attr("add_message")("astroid-error", py::arg("args") = py::make_tuple(filepath, message));
    else
        linter.attr("add_message")("fatal", py::arg("args") = message);
}

void check_file(py::handle linter, py::handle get_ast, py::handle check_astroid_module,
                py::handle file) {
    try {
        linter.attr("_check_file")(get_ast, check_astroid_module, file);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        report_failed_file(linter, file.attr("filepath"), e);
    }
    freeze_after_full_collection();
}

// Runs `body` inside the library's module-checking scope, whose value checks one tree.
template <typename Body>
void with_module_checker(py::handle linter, Body body) {
    py::object scope = linter.attr("_astroid_module_checker")();
    py::object check_astroid_module = scope.attr("__enter__")();
    try {
        body(check_astroid_module);
    } catch (py::error_already_set& e) {
        if (!korvane::truthy(scope.attr("__exit__")(e.type(), e.value(), korvane::trace_of(e)))) throw;
        return;
    }
    scope.attr("__exit__")(py::none(), py::none(), py::none());
}

void check_files(py::object self, py::object get_ast, py::object file_descrs) {
    with_module_checker(self, [&](py::handle check_astroid_module) {
        for (py::handle file : file_descrs) check_file(self, get_ast, check_astroid_module, file);
    });
}

// What a worker process runs for each file: the same guard as the one-process pass.
void check_single_file_item(py::object self, py::object file) {
    with_module_checker(self, [&](py::handle check_astroid_module) {
        check_file(self, self.attr("get_ast"), check_astroid_module, file);
    });
}

}  // namespace

void register_bad_files(py::module_&) {
    py::object cls = state().Linter;
    korvane::def_method(cls, "get_ast", &get_ast, py::arg("filepath"), py::arg("modname"),
                        py::arg("data") = py::none());
    korvane::def_method(cls, "_check_files", &check_files, py::arg("get_ast"),
                        py::arg("file_descrs"));
    korvane::def_method(cls, "check_single_file_item", &check_single_file_item, py::arg("file"));
}

}  // namespace korvane::checker

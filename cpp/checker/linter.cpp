// The extended linter (syntax-error wording, "korvane:" pragmas, progress display)
// and the reporter that turns findings into flat message records.
#include "checker.hpp"

#include <unistd.h>

namespace korvane::checker {

namespace {

// The process whose `check` owns the progress display.  Worker processes forked by
// the library inherit the display but must not touch it: its locks may have been
// held by the display's refresh thread at the moment of the fork.
pid_t progress_owner = 0;

py::object rewrite_pragma(py::handle text) {
    return text.attr("replace")("korvane:", "pylint:");
}

void process_tokens_impl(py::object self, py::object tokens) {
    State& s = state();
    Py_ssize_t n = PyObject_Length(tokens.ptr());
    if (n < 0) throw py::error_already_set();
    py::str word("korvane");
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object token = tokens[py::int_(i)];
        int is_comment = PyObject_RichCompareBool(token.attr("type").ptr(),
                                                  s.tokenize_COMMENT.ptr(), Py_EQ);
        if (is_comment < 0) throw py::error_already_set();
        if (!is_comment) continue;
        py::object string = token.attr("string");
        int has_word = PySequence_Contains(string.ptr(), word.ptr());
        if (has_word < 0) throw py::error_already_set();
        if (!has_word) continue;
        tokens[py::int_(i)] = token.attr("_replace")(
            py::arg("string") = rewrite_pragma(string),
            py::arg("line") = rewrite_pragma(token.attr("line")));
    }
}

// A pass over one text or file runs in this process, as with one job: a worker would
// only build Django's modules again for it (seconds per call) and find the same.
void check_in_process(py::object self, py::object files_or_modules) {
    py::object config = self.attr("config");
    py::object jobs = config.attr("jobs");
    config.attr("jobs") = py::int_(1);
    try {
        state().PyLinter.attr("check")(self, py::arg("files_or_modules") = files_or_modules);
    } catch (py::error_already_set&) {
        config.attr("jobs") = jobs;
        throw;
    }
    config.attr("jobs") = jobs;
}

// The library's `check`, except that its parallel pass hands the files to the
// workers in groups (check_in_workers).  Anything the library treats otherwise (a
// single text read from standard input, a bare name instead of a list, extra
// arguments, one job) goes to the library's own `check`; so does a single file.
void run_check(py::object self, py::object files_or_modules, py::args args,
               py::kwargs kwargs) {
    State& s = state();
    py::object config = self.attr("config");
    py::object jobs = config.attr("jobs");
    int one_job = PyObject_RichCompareBool(jobs.ptr(), py::int_(1).ptr(), Py_EQ);
    if (one_job < 0) throw py::error_already_set();
    bool in_workers = !one_job && args.size() == 0 && kwargs.size() == 0 &&
                      (PyList_Check(files_or_modules.ptr()) ||
                       PyTuple_Check(files_or_modules.ptr())) &&
                      !korvane::truthy(config.attr("from_stdin"));
    if (!in_workers) {
        s.PyLinter.attr("check")(self, *args, py::arg("files_or_modules") = files_or_modules,
                                 **kwargs);
        return;
    }
    if (PySequence_Size(files_or_modules.ptr()) == 1) {
        check_in_process(self, files_or_modules);
        return;
    }
    self.attr("initialize")();
    check_in_workers(self, jobs, self.attr("_iterate_file_descrs")(files_or_modules),
                     files_or_modules);
}

// Without a named configuration file pylint takes the first one it finds from the
// working directory, reading the project's pyproject.toml and setup.cfg to decide.
// The analysis is steered only by its own configuration: the linter is given the
// empty device, so no project file is read (nor one pylint's readers cannot take).
void linter_init(py::object self, py::object options, py::object reporter,
                 py::object option_groups, py::object pylintrc) {
    if (!korvane::truthy(pylintrc)) pylintrc = py::module_::import("os").attr("devnull");
    state().PyLinter.attr("__init__")(self, options, reporter, option_groups, pylintrc);
}

py::object process_tokens(py::object self, py::object tokens) {
    process_tokens_impl(self, tokens);
    return state().PyLinter.attr("process_tokens")(self, tokens);
}

// The library's check inside the progress display, which counts the files given.
void linter_check(py::object self, py::object files_or_modules, py::args args,
                  py::kwargs kwargs) {
    py::object display = state().module.attr("Progress")();
    py::object progress = display.attr("__enter__")();
    try {
        self.attr("progress") = progress;
        Py_ssize_t n = PyObject_Length(files_or_modules.ptr());
        if (n < 0) throw py::error_already_set();
        self.attr("progress_task") = progress.attr("add_task")(
            "[blue]Analyzing " + std::to_string(n) + " files... ", py::arg("total") = n);
        progress_owner = getpid();
        run_check(self, files_or_modules, args, kwargs);
    } catch (py::error_already_set& e) {
        // leave the display with the error, then let the error go on
        display.attr("__exit__")(e.type(), e.value(), korvane::trace_of(e));
        throw;
    }
    display.attr("__exit__")(py::none(), py::none(), py::none());
}

void set_current_module(py::object self, py::object modname, py::object filepath) {
    State& s = state();
    py::object shown = korvane::truthy(filepath) ? filepath : modname;
    s.logger.attr("debug")(py::str("Analyzing ") + py::str(shown));
    s.PyLinter.attr("set_current_module")(self, modname, filepath);
    // A linter that checks without the display (the lint of fixed texts) has none.
    py::object progress = getpid() == progress_owner
                              ? korvane::getattr_or_null(self, KORVANE_NAME("progress"))
                              : py::object();
    if (progress) progress.attr("update")(self.attr("progress_task"), py::arg("advance") = 1);
}

// A text whose `%` answers the text itself, whatever the right operand.
py::object make_ignore_fmt(py::module_& m) {
    py::dict ns;
    ns["__doc__"] = "A text whose % operator returns the text itself.";
    py::object fmt = korvane::make_class(m, "ignore_old_style_string_formatting",
                                         py::make_tuple(py::reinterpret_borrow<py::object>(
                                             reinterpret_cast<PyObject*>(&PyUnicode_Type))),
                                         ns);
    korvane::def_method(fmt, "__mod__", [](py::object self, py::object) { return self; });
    return fmt;
}

// Reporter.build_backwards_compatibile_pylint_message: a copy of a record, or the
// record of a library message.
py::dict build_record(py::object message) {
    if (PyDict_Check(message.ptr())) {
        py::dict copy;
        for (auto item : py::reinterpret_borrow<py::dict>(message)) copy[item.first] = item.second;
        return copy;
    }
    py::dict record;
    record["type"] = message.attr("category");
    record["module"] = message.attr("module");
    record["obj"] = message.attr("obj");
    record["line"] = message.attr("line");
    record["column"] = message.attr("column");
    record["path"] = message.attr("path");
    record["symbol"] = message.attr("symbol");
    record["message"] = message.attr("msg");
    record["message-id"] = message.attr("msg_id");
    return record;
}

void handle_message(py::object self, py::object msg) {
    py::object record = self.attr("build_backwards_compatibile_pylint_message")(msg);
    self.attr("messages").attr("append")(record);
}

}  // namespace

void register_linter(py::module_& m) {
    State& s = state();
    s.ignore_fmt = make_ignore_fmt(m);

    // The linter's message table: the library's, with the syntax-error wording fixed.
    py::dict msgs;
    py::object base_msgs = s.PyLinter.attr("msgs");
    for (auto item : py::reinterpret_borrow<py::dict>(base_msgs)) msgs[item.first] = item.second;
    msgs["E0001"] = py::make_tuple(s.ignore_fmt("Syntax Error"), "syntax-error",
                                   "Used when a syntax error is raised for a module.");

    py::dict ns;
    ns["__doc__"] =
        "pylint's linter with a fixed syntax-error wording, \"korvane:\" pragmas read as "
        "\"pylint:\" pragmas, and a progress display while it lints.";
    ns["msgs"] = msgs;
    py::object cls = korvane::make_class(m, "Linter", py::make_tuple(s.PyLinter), ns);
    s.Linter = cls;

    korvane::def_init(cls, &linter_init, py::arg("options") = py::tuple(),
                      py::arg("reporter") = py::none(), py::arg("option_groups") = py::tuple(),
                      py::arg("pylintrc") = py::none());
    korvane::def_method(cls, "process_tokens", &process_tokens, py::arg("tokens"));
    korvane::def_method(cls, "check", &linter_check, py::arg("files_or_modules"));
    korvane::def_method(cls, "set_current_module", &set_current_module, py::arg("modname"),
                        py::arg("filepath") = py::none());
}

void register_reporter(py::module_& m) {
    State& s = state();
    py::dict ns;
    ns["__doc__"] = "Collects every finding of a pass as a flat message record in `messages`.";
    py::object cls = korvane::make_class(m, "Reporter", py::make_tuple(s.JSONReporter), ns);
    s.Reporter = cls;
    korvane::def_static(cls, "build_backwards_compatibile_pylint_message", &build_record,
                        py::arg("message"));
    korvane::def_method(cls, "handle_message", &handle_message, py::arg("msg"));
}

}  // namespace korvane::checker

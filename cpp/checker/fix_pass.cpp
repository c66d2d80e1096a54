// The fix pass of an analysis that was given a fixer (the change producer's).
//
// Once every file is checked, each module with a finding the fixer answers goes to the
// fixer, in the processes that checked the files: the worker processes, whose trees of
// Django and of the project are built already, or this process when the analysis ran
// here.  The fixer gets the module's path, module name and findings, and a lint that
// checks a text as the analysis checked the module; what it answers is appended to its
// `outcomes` in this process.  A module the analysis could not check (a syntax error,
// a fatal record) goes to the fixer with the reason instead of a lint: what the
// analysis could not check, a lint cannot confirm either.
#include "checker.hpp"

#include <korvane/text.hpp>

namespace korvane::checker {

namespace {

// The linter attributes of the pass: the fixer, the options the analysis set (to set
// them again on the lint of fixed texts), that lint once made, and whether the workers
// ran the pass.
constexpr const char* kFixer = "korvane_fixer";
constexpr const char* kOptions = "korvane_options";
constexpr const char* kVerificationLinter = "korvane_verification_linter";
constexpr const char* kFixesDone = "korvane_fixes_done";

// Whether a record says that its module could not be checked.
bool is_unchecked(py::handle record) {
    return is_text(record[py::str("type")], "fatal") || is_text(record[py::str("message-id")], "E0001");
}

// (path, module name, findings, why it was not checked or None, the names of its fields
// that the project's NULL index keeps nullable or None) of each module with a finding
// the fixer answers or a record that says it could not be checked, in the order of their
// first record.
py::list fix_tasks(py::handle linter, py::handle fixer) {
    py::object codes = fixer.attr("codes");
    py::dict by_path;  // path -> [module name, findings, answered, unchecked]
    for (py::handle record : linter.attr("reporter").attr("messages")) {
        if (!PyDict_Check(record.ptr())) continue;
        py::object path = record[py::str("path")];
        if (!by_path.contains(path)) {
            py::list entry;
            entry.append(record[py::str("module")]);
            entry.append(py::list());
            entry.append(py::bool_(false));
            entry.append(py::none());
            by_path[path] = entry;
        }
        py::list entry = by_path[path];
        py::object code = record[py::str("message-id")];
        entry[1].attr("append")(py::make_tuple(code, record[py::str("line")]));
        if (contains(codes, code)) entry[2] = py::bool_(true);
        if (entry[3].is_none() && is_unchecked(record)) {
            entry[3] = py::str("it could not be analysed: {} {}")
                           .format(record[py::str("symbol")], record[py::str("message")]);
        }
    }
    py::list tasks;
    for (auto item : by_path) {
        py::list entry = py::reinterpret_borrow<py::list>(item.second);
        if (!truthy(entry[2]) && entry[3].is_none()) continue;
        tasks.append(py::make_tuple(item.first, entry[0], entry[1], entry[3],
                                    null_kept_names(linter, item.first)));
    }
    return tasks;
}

// The lint of a fixed text as the analysis linted the module: the analysis's linter
// class with its options, made once per process, checking the text in memory through
// the analysis's own parse, without the progress display.
py::object verification_linter(py::handle analysis_linter) {
    py::object made = getattr_or_null(analysis_linter, KORVANE_NAME(kVerificationLinter));
    if (made && !made.is_none()) return made;
    State& s = state();
    py::object linter = create_linter(s.Linter, py::int_(1));
    py::object options = getattr_or_null(analysis_linter, KORVANE_NAME(kOptions));
    if (options) {
        for (py::handle option : options) set_config_option(linter, option[py::int_(0)], option[py::int_(1)]);
    }
    linter.attr("initialize")();
    linter.attr("open")();
    analysis_linter.attr(KORVANE_NAME(kVerificationLinter)) = linter;
    return linter;
}

py::list lint_text(py::handle linter, py::handle text, py::handle filepath, py::handle modname) {
    State& s = state();
    py::object reporter = linter.attr("reporter");
    reporter.attr("messages") = py::list();
    py::list files;
    files.append(s.FileItem(modname, filepath, modname));
    py::object get_ast = s.partial(linter.attr("get_ast"), py::arg("data") = text);
    linter.attr("_check_files")(get_ast, files);
    py::list found;
    for (py::handle record : reporter.attr("messages"))
        found.append(py::make_tuple(record[py::str("message-id")], record[py::str("line")]));
    reporter.attr("messages") = py::list();
    return found;
}

// The trees the analysis built stay what they were: the fixer parses the module, and
// the lint its fixed text, under the module's name, and astroid keeps each parse by
// name.  The analysis's own tree of the module goes back in place afterwards.
class KeptModule {
  public:
    explicit KeptModule(py::handle modname)
        : cache_(import_attr("astroid", "MANAGER").attr("astroid_cache")),
          name_(py::reinterpret_borrow<py::object>(modname)) {
        PyObject* found = PyDict_GetItemWithError(cache_.ptr(), name_.ptr());
        if (!found && PyErr_Occurred()) throw py::error_already_set();
        if (found) kept_ = py::reinterpret_borrow<py::object>(found);
    }
    void restore() {
        if (kept_) {
            cache_[name_] = kept_;
        } else if (PyDict_Contains(cache_.ptr(), name_.ptr()) == 1) {
            if (PyDict_DelItem(cache_.ptr(), name_.ptr()) < 0) throw py::error_already_set();
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }

  private:
    py::object cache_;
    py::object name_;
    py::object kept_;
};

// One module through the fixer, in the process that analysed it.
py::object run_fix_task(py::handle analysis_linter, py::handle task) {
    py::object fixer = analysis_linter.attr(KORVANE_NAME(kFixer));
    py::object filepath = task[py::int_(0)];
    py::object modname = task[py::int_(1)];
    py::object linter = verification_linter(analysis_linter);
    py::cpp_function lint(
        [linter, filepath, modname](py::object text) { return lint_text(linter, text, filepath, modname); },
        py::name("lint"), py::arg("text"));
    KeptModule kept(modname);
    // The analysis's class ancestries serve the fix and its lint; those of the trees
    // they build are forgotten with the trees.
    py::object helpers = state().helpers;
    py::object mark = helpers.attr("kept_ancestry_count")();
    py::object kept_nullable = task[py::int_(4)];
    auto undo = [&] {
        if (!kept_nullable.is_none()) use_null_index(py::none());
        helpers.attr("forget_ancestries_since")(mark);
        kept.restore();
    };
    py::object answer;
    try {
        if (!kept_nullable.is_none()) use_null_index(kept_nullable);
        answer = fixer(filepath, modname, task[py::int_(2)], lint, py::arg("unchecked") = task[py::int_(3)]);
    } catch (py::error_already_set&) {
        undo();
        throw;
    }
    undo();
    freeze_after_full_collection();
    return answer;
}

// FixTask.__call__, in a worker, which still holds the analysis's set-up.
py::object fix_in_worker(py::object, py::object task) {
    py::object linter = import_attr("pylint.lint.parallel", "_worker_linter");
    return run_fix_task(linter, task);
}

}  // namespace

void set_fixer(py::handle linter, py::handle fixer) {
    linter.attr(KORVANE_NAME(kFixer)) = fixer;
    linter.attr(KORVANE_NAME(kFixesDone)) = py::bool_(false);
}

void note_option(py::handle linter, py::handle name, py::handle value) {
    py::object options = getattr_or_null(linter, KORVANE_NAME(kOptions));
    if (!options) {
        options = py::list();
        linter.attr(KORVANE_NAME(kOptions)) = options;
    }
    options.attr("append")(py::make_tuple(name, value));
}

void fix_in_workers(py::handle linter, WorkerSet& workers) {
    py::object fixer = getattr_or_null(linter, KORVANE_NAME(kFixer));
    if (!fixer || fixer.is_none()) return;
    py::list jobs;
    for (py::handle task : fix_tasks(linter, fixer)) jobs.append(py::make_tuple("fix", task));
    py::object outcomes = fixer.attr("outcomes");
    workers.run(
        jobs, [&](py::handle, py::handle answer) { outcomes.attr("append")(answer); },
        [&](py::handle job, py::handle reason) {
            // the fixer says so itself: a module it is told it cannot have
            py::object task = job[py::int_(1)];
            outcomes.attr("append")(fixer(task[py::int_(0)], task[py::int_(1)], task[py::int_(2)],
                                          py::none(),
                                          py::arg("unchecked") = py::str("its worker stopped while "
                                                                         "fixing it: {}").format(reason)));
        });
    linter.attr(KORVANE_NAME(kFixesDone)) = py::bool_(true);
}

void fix_in_process(py::handle linter) {
    py::object fixer = getattr_or_null(linter, KORVANE_NAME(kFixer));
    if (!fixer || fixer.is_none() || truthy(linter.attr(KORVANE_NAME(kFixesDone)))) return;
    py::object outcomes = fixer.attr("outcomes");
    for (py::handle task : fix_tasks(linter, fixer)) outcomes.attr("append")(run_fix_task(linter, task));
    linter.attr(KORVANE_NAME(kFixesDone)) = py::bool_(true);
}

void register_fix_pass(py::module_& m) {
    py::dict ns;
    ns["__doc__"] = "Fixes one module in a worker process with the analysis's fixer.";
    py::object cls = make_class(m, "FixTask", py::make_tuple(), ns);
    def_method(cls, "__call__", &fix_in_worker, py::arg("task"));
}

}  // namespace korvane::checker

// Module checker: the lint driver.  Shared state of its translation units.
#pragma once

#include <korvane/module.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvane::checker {

namespace py = pybind11;

// Library objects, sibling modules and the module's own classes, set once while the
// module loads and kept for the life of the process.
struct State : korvane::ModuleState {
    // libraries
    py::object os_path_abspath;
    py::object Path;
    py::object SpecifierSet;
    py::object PyLinter;
    py::object JSONReporter;
    py::object tokenize_COMMENT;
    py::object NamedTuple;
    py::object astroid_Name;
    py::object AstroidSyntaxError;
    py::object AstroidError;

    // the library's parallel pass, for the workers
    py::object partial;
    py::object defaultdict;
    py::object list_type;
    py::object dirname;
    py::object basename;
    py::object cpu_count;
    py::object worker_initialize;
    py::object worker_check_single_file;
    py::object merge_mapreduce_data;
    py::object merge_stats;
    py::object Message;
    py::object MessageLocationTuple;

    // siblings
    py::object helpers;
    py::object meta;
    py::object dependencies;
    py::object wordings;
    py::object render;

    // own classes
    py::object FileItem;
    py::object ignore_fmt;
    py::object Linter;
    py::object CodeLinter;
    py::object HtmlLinter;
    py::object Reporter;
    py::object FileGroupTask;
    py::object AnalysisRecords;
};

State& state();

// The registration steps of PYBIND11_MODULE, in the order the module's names are
// defined.
void register_imports(py::module_& m);
void register_progress(py::module_& m);
void register_tables(py::module_& m);
void register_file_item(py::module_& m);
void register_workers(py::module_& m);
void register_linter(py::module_& m);
void register_bad_files(py::module_& m);
void register_code_linter(py::module_& m);
void register_road(py::module_& m);
void register_reporter(py::module_& m);
void register_create_linter(py::module_& m);
void register_check_names(py::module_& m);

// Functions that the files of the module call across.

// The change set with its .py and .html paths relative to the project root in their
// normal form; paths that leave the root are dropped with a warning.
py::dict change_set_in_project(py::handle project_root, py::handle files);
// Whether the linter may open a change-set path (a regular file, or a missing path);
// anything else is passed over with a warning.
bool is_lintable(py::handle path);
bool is_template_file(py::handle path);
py::object create_linter(py::object linter_class, py::object jobs);
py::list get_all_message_codes();
void check_names(py::handle tree);
// `linter.set_option(name, value)`, routed to the checker that declares the option.
void set_config_option(py::handle linter, py::handle name, py::handle value);
// Adds the syntax-error finding E0001 for `error` (the parser's or the decoder's) at
// the error's own line, else at the line where the module read from `filepath` (or
// given as the text `data`, when that is not None) stops being source text.
void add_syntax_error(py::handle linter, py::handle error, py::handle filepath,
                      py::handle data);
// A tree built from a text held in memory keeps the bytes the linter tokenizes in the
// encoding its coding cookie declares, as the file would hold them: the astroid builder
// stores the text as UTF-8, which the cookie would have the linter decode otherwise.
void store_as_declared(py::handle tree, py::handle text);
// Logs every record of type "fatal" at debug level.
void log_fatal_records(py::handle records);
// The library's parallel pass over `file_descrs`, with the files handed to the
// workers in groups that share their trees.
void check_in_workers(py::handle linter, py::handle jobs, py::handle file_descrs,
                      py::handle arguments);

// The fix pass (fix_pass.cpp): the analysis linter gets the caller's fixer; each
// option the road sets is noted, to be set again on the lint of fixed texts; once
// every file is checked, the modules with an answered finding go to the fixer in the
// pool's workers, or in this process when the analysis ran here.
class WorkerSet;
void set_fixer(py::handle linter, py::handle fixer);
void note_option(py::handle linter, py::handle name, py::handle value);
void fix_in_workers(py::handle linter, WorkerSet& workers);
void fix_in_process(py::handle linter);
void register_fix_pass(py::module_& m);

// The project's index of field names relied on as None (null_index.cpp).  The road
// notes on the analysis linter the project root and the paths it lints; once every file
// is checked, the index (the names the model field checker collected, and those of the
// project's other modules) is applied: the C2000 records of the fields it names are
// dropped, and each module's dropped names are kept for its fix task.  Applying it again
// does nothing.
void note_null_scope(py::handle linter, py::handle project_root, py::handle linted_paths);
void apply_null_index(py::handle linter);
// The names of the module's fields that the index keeps nullable, or None.
py::object null_kept_names(py::handle linter, py::handle path);
// Until called again with None, the fix and its lint keep fields of these names
// nullable (nothing when they are None).
void use_null_index(py::handle names);

// The worker processes of one analysis (worker_processes.cpp): each runs one job at a
// time, a ("check", file items) or ("fix", task) tuple, on a thread with a large
// stack; a worker that dies hands its job back as lost, with the reason, and is
// replaced; a job that never reached a worker, which died after its last answer, goes
// back to the queue.  No worker outlives this process; its owner calls `kill` on every
// way out but `stop`.  Its methods call into Python, so no destructor of it does;
// `kill` drops every error but the one in flight, for the way out after an error.
class WorkerSet {
  public:
    using OnResult = std::function<void(py::handle job, py::handle result)>;
    using OnLost = std::function<void(py::handle job, py::handle reason)>;

    WorkerSet(py::handle linter, py::handle arguments, Py_ssize_t count);
    WorkerSet(const WorkerSet&) = delete;
    WorkerSet& operator=(const WorkerSet&) = delete;
    // Runs every job of `queue` (which `on_lost` may append to) until none is left.
    void run(py::list queue, const OnResult& on_result, const OnLost& on_lost);
    // Ends the workers once their jobs are done.
    void stop();
    // Ends the workers at once.
    void kill();

  private:
    using Count = std::atomic<std::uint64_t>;
    // One count per worker, of the jobs its process has received, in memory shared
    // with the workers.
    class SharedCounts {
      public:
        explicit SharedCounts(Py_ssize_t count);
        ~SharedCounts();
        SharedCounts(const SharedCounts&) = delete;
        SharedCounts& operator=(const SharedCounts&) = delete;
        Count* at(size_t index) const { return counts_ + index; }

      private:
        Count* counts_;
        size_t bytes_;
    };
    struct Worker {
        py::object process;
        py::object conn;         // this end of its pipe
        py::object job;          // the job it holds, null when idle
        Count* taken = nullptr;  // jobs its process has received
        std::uint64_t sent = 0;  // jobs sent to its process
    };
    void start(Worker& worker);
    void release(Worker& worker);
    void hand_out(const py::list& queue, size_t& next);
    py::list waitables() const;
    void settle(Worker& worker, py::handle ready, py::list& queue, const OnResult& on_result,
                const OnLost& on_lost);
    bool take_answer(Worker& worker, const OnResult& on_result);
    void replace(Worker& worker, py::list& queue, const OnLost& on_lost);

    py::object linter_;
    py::object arguments_;
    SharedCounts counts_;
    std::vector<Worker> workers_;
};
void register_worker_processes(py::module_& m);

// While an analysis scope is open, and a full collection ran since the last freeze:
// collects the young generations, then freezes every object left; else does nothing.
void freeze_after_full_collection();

// What holds only while the files of one analysis are linted, set up by the
// constructor and undone by the destructor, which never fails: the helpers keep each
// class's ancestry once computed, astroid's node constructors look up the parameters
// of each one once instead of at every node, and the collector's full collections
// walk only what is new (see analysis_scope.cpp).
class AnalysisScope {
  public:
    AnalysisScope();
    ~AnalysisScope();
    AnalysisScope(const AnalysisScope&) = delete;
    AnalysisScope& operator=(const AnalysisScope&) = delete;

  private:
    void undo() noexcept;

    py::object gc_;          // the collector, while it freezes after full collections
    py::object decorators_;  // astroid.decorators, while its `inspect` is replaced
    py::object inspect_;     // the module it held before
    py::object stand_in_;    // what it holds during the analysis
};

}  // namespace korvane::checker

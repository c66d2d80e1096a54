// Linting in worker processes, with the files handed out in groups.
//
// The library's own parallel pass hands each worker one file at a time.  Every
// worker then builds and infers the trees that a file's checks reach on its own, and
// the modules of one Django app land in all workers, each of which builds that app's
// models again.  Here the files go out in groups that share their trees (the modules
// of one directory, a `migrations` package with the directory above it), so each
// app's trees are built in one worker.  Each file is still checked by the library's
// own worker function, and its findings, statistics and map/reduce data are merged in
// the parent exactly as the library does it.
#include "checker.hpp"

#include <algorithm>

namespace korvane::checker {

namespace {

// The directory whose files share their trees: the file's own directory, or the one
// above it for a module of a `migrations` package.
py::object group_key(py::handle filepath) {
    State& s = state();
    py::object directory = s.dirname(filepath);
    int is_migrations = PyObject_RichCompareBool(s.basename(directory).ptr(),
                                                 py::str("migrations").ptr(), Py_EQ);
    if (is_migrations < 0) throw py::error_already_set();
    return is_migrations ? s.dirname(directory) : directory;
}

// The number of worker processes the pool makes for `jobs`: the count itself, or one
// per CPU for the empty value.
Py_ssize_t worker_count(py::handle jobs) {
    if (jobs.is_none()) {
        py::object cpus = state().cpu_count();
        return cpus.is_none() ? 1 : std::max<Py_ssize_t>(1, py::cast<Py_ssize_t>(cpus));
    }
    Py_ssize_t n = PyNumber_AsSsize_t(jobs.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return std::max<Py_ssize_t>(1, n);
}

// The pool's process count: one per group at most, since a group goes to one worker,
// so a job count above the number of files starts no idle processes.  A count below 1
// goes to the pool as given, which refuses it.
py::object pool_size(py::handle jobs, Py_ssize_t groups) {
    Py_ssize_t wanted = worker_count(jobs);
    if (!jobs.is_none()) {
        Py_ssize_t given = PyNumber_AsSsize_t(jobs.ptr(), PyExc_OverflowError);
        if (given == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (given < 1) return py::reinterpret_borrow<py::object>(jobs);
    }
    return py::int_(std::max<Py_ssize_t>(1, std::min(wanted, groups)));
}

// Groups are never cut below this many files: an app's modules stay together.
constexpr Py_ssize_t kSmallestCut = 8;

// The file items in groups of one directory each, in the order in which each group's
// first file comes.  A group larger than both kSmallestCut and a quarter of one
// worker's share is cut into consecutive pieces of at most that size, so that no
// worker is left with one long group at the end.
py::list group_file_items(py::handle file_items, Py_ssize_t workers) {
    py::list items = py::reinterpret_steal<py::list>(PySequence_List(file_items.ptr()));
    if (!items) throw py::error_already_set();
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    Py_ssize_t slots = std::max<Py_ssize_t>(1, workers) * 4;
    Py_ssize_t limit = std::max(kSmallestCut, (n + slots - 1) / slots);

    py::dict by_key;  // keeps first-seen order
    for (py::handle item : items) {
        py::object key = group_key(item.attr("filepath"));
        PyObject* group = PyDict_GetItemWithError(by_key.ptr(), key.ptr());
        if (!group) {
            if (PyErr_Occurred()) throw py::error_already_set();
            py::list fresh;
            by_key[key] = fresh;
            fresh.append(item);
        } else if (PyList_Append(group, item.ptr()) < 0) {
            throw py::error_already_set();
        }
    }

    py::list groups;
    for (auto entry : by_key) {
        py::list group = py::reinterpret_borrow<py::list>(entry.second);
        Py_ssize_t size = PyList_GET_SIZE(group.ptr());
        for (Py_ssize_t start = 0; start < size; start += limit) {
            py::object piece = py::reinterpret_steal<py::object>(
                PyList_GetSlice(group.ptr(), start, std::min(size, start + limit)));
            if (!piece) throw py::error_already_set();
            groups.append(piece);
        }
    }
    return groups;
}

// One result tuple of the library's worker function, merged into the parent's
// linter as the library's parallel pass does.
void take_result(py::handle linter, py::handle result, py::list& all_stats,
                 py::handle all_mapreduce_data) {
    State& s = state();
    py::tuple r = py::reinterpret_borrow<py::tuple>(result);
    linter.attr("file_state").attr("base_name") = r[3];
    linter.attr("set_current_module")(r[1], r[2]);
    py::object handle_message = linter.attr("reporter").attr("handle_message");
    for (py::handle msg : r[4]) {
        py::tuple m = py::reinterpret_borrow<py::tuple>(msg);
        py::object location = s.MessageLocationTuple(*m[2]);
        handle_message(s.Message(m[0], m[1], location, m[3], m[4]));
    }
    all_stats.append(r[5]);
    all_mapreduce_data[r[0]].attr("append")(r[7]);
    py::object status = linter.attr("msg_status");
    linter.attr("msg_status") = status | r[6];
}

// The workers' map/reduce data and statistics merged into the parent's linter, whose
// checkers share the merged statistics, as the library's parallel pass leaves them.
void merge_results(py::handle linter, const py::list& all_stats, py::handle all_mapreduce_data) {
    State& s = state();
    s.merge_mapreduce_data(linter, all_mapreduce_data);
    py::list stats;
    stats.append(linter.attr("stats"));
    for (py::handle stat : all_stats) stats.append(stat);
    py::object merged = s.merge_stats(stats);
    linter.attr("stats") = merged;
    for (py::handle checker : linter.attr("get_checkers")()) {
        if (!checker.is(linter)) checker.attr("stats") = merged;
    }
}

// A module the dead worker held, checked alone and lost again: its fatal record, as a
// failure while checking it gets.
void record_lost_file(py::handle linter, py::handle item, py::handle reason) {
    linter.attr("set_current_module")(item.attr("modpath"), item.attr("filepath"));
    linter.attr("add_message")("fatal", py::arg("args") = py::str(
        "the worker process checking '{}' stopped: {}").format(item.attr("filepath"), reason));
}

}  // namespace

void check_in_workers(py::handle linter, py::handle jobs, py::handle file_descrs,
                      py::handle arguments) {
    State& s = state();

    // `open` sets the ignore patterns that the file walk reads, so it comes first.
    linter.attr("open")();
    py::list groups = group_file_items(file_descrs, worker_count(jobs));
    py::list queue;
    for (py::handle group : groups) queue.append(py::make_tuple("check", group));

    py::object count = pool_size(jobs, PyList_GET_SIZE(groups.ptr()));
    Py_ssize_t n = PyNumber_AsSsize_t(count.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    WorkerSet workers(linter, arguments, n);
    py::list all_stats;
    py::object all_mapreduce_data = s.defaultdict(s.list_type);
    try {
        workers.run(
            queue,
            [&](py::handle, py::handle group_results) {
                for (py::handle result : group_results)
                    take_result(linter, result, all_stats, all_mapreduce_data);
            },
            [&](py::handle job, py::handle reason) {
                // Which module of the group killed its worker is not known: each is
                // checked again alone, and one that is lost alone is recorded so.
                py::object items = job[py::int_(1)];
                if (PyObject_Length(items.ptr()) == 1) {
                    record_lost_file(linter, items[py::int_(0)], reason);
                    return;
                }
                for (py::handle item : items) {
                    py::list alone;
                    alone.append(item);
                    queue.append(py::make_tuple("check", alone));
                }
            });
        // merged first: the index and the fix pass read what the checkers reduce
        merge_results(linter, all_stats, all_mapreduce_data);
        apply_null_index(linter);
        fix_in_workers(linter, workers);
        workers.stop();
    } catch (...) {
        // any error and any interrupt, in stopping them too: no worker is left
        workers.kill();
        throw;
    }
}

namespace {

// The parts of the library's parallel pass that the grouped pass reuses.
void bind_parallel_library(State& s) {
    s.partial = py::module_::import("functools").attr("partial");
    s.defaultdict = py::module_::import("collections").attr("defaultdict");
    s.list_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyList_Type));
    py::object os = py::module_::import("os");
    s.dirname = os.attr("path").attr("dirname");
    s.basename = os.attr("path").attr("basename");
    s.cpu_count = os.attr("cpu_count");
    py::object lib = py::module_::import("pylint.lint.parallel");
    s.worker_initialize = lib.attr("_worker_initialize");
    s.worker_check_single_file = lib.attr("_worker_check_single_file");
    s.merge_mapreduce_data = lib.attr("_merge_mapreduce_data");
    s.merge_stats = py::module_::import("pylint.utils").attr("merge_stats");
    s.Message = py::module_::import("pylint.message").attr("Message");
    s.MessageLocationTuple = py::module_::import("pylint.typing").attr("MessageLocationTuple");
}

// FileGroupTask.__call__: the library's worker function on each file of the group.
py::list check_file_group(py::object, py::object file_items) {
    py::object check = state().worker_check_single_file;
    py::list results;
    for (py::handle item : file_items) results.append(check(item));
    return results;
}

py::list group_file_items_for_jobs(py::object file_items, py::object jobs) {
    return group_file_items(file_items, worker_count(jobs));
}

}  // namespace

void register_workers(py::module_& m) {
    State& s = state();
    bind_parallel_library(s);

    // The task a worker runs on one group.  A class, so that the pool can send it to
    // the workers by name.
    py::dict ns;
    ns["__doc__"] = "Checks one group of file items in a worker process.";
    s.FileGroupTask = korvane::make_class(m, "FileGroupTask", py::make_tuple(), ns);
    korvane::def_method(s.FileGroupTask, "__call__", &check_file_group, py::arg("file_items"));

    m.def("group_file_items", &group_file_items_for_jobs, py::arg("file_items"), py::arg("jobs"),
          "The file items in the groups handed to worker processes for `jobs`: one "
          "directory each, a migrations package with the directory above it, groups "
          "over 8 files cut to a quarter of one worker's share.");
}

}  // namespace korvane::checker

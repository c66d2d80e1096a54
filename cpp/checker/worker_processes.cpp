// The worker processes of an analysis.
//
// Each worker is a process forked from this one that runs one job at a time, sent to
// it over a pipe of its own, so the parent always knows which job each worker holds.
// A worker that dies (a signal, a fatal error of the interpreter, `os._exit`, the
// memory killer) is seen at once through its process sentinel: its job is handed to
// the caller as lost, with the reason, and a new worker takes its place; the other
// jobs go on.  Nothing ever waits for an answer that cannot come.
//
// In the worker, jobs run on a thread with a large stack.  The checks' recursion goes
// through the interpreter and through the native modules' own frames, whose share of
// the C stack per level is several times an interpreter frame's; the main thread's 8
// MiB could run out before the interpreter's recursion limit is reached, which ends the
// process instead of raising RecursionError.  On the large stack the recursion limit
// always comes first, and RecursionError is the worst a check can end in.
#include "checker.hpp"

#include <korvane/text.hpp>

namespace korvane::checker {

namespace {

// The stack of the thread that runs a worker's jobs: room for the interpreter's
// recursion limit at any frame size the checks reach.  Address space only, until used.
constexpr Py_ssize_t kWorkerStack = Py_ssize_t(512) << 20;

// The answer of a job whose code raised: the error, sent back to be raised here.
py::object error_answer(py::error_already_set& e) {
    py::object value = e.value();
    try {
        py::module_::import("pickle").attr("dumps")(value);
        return py::make_tuple("error", value);
    } catch (py::error_already_set&) {
        py::object text = py::str("{}: {}").format(type_name(value), value);
        return py::make_tuple("error", py::reinterpret_borrow<py::object>(PyExc_Exception)(text));
    }
}

// A worker's loop: a job in, its answer out, until the pipe says stop (None) or closes.
void serve(py::object conn) {
    py::object run_group = state().FileGroupTask();
    py::object run_fix = state().module.attr("FixTask")();
    for (;;) {
        py::object job;
        try {
            job = conn.attr("recv")();
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_EOFError) || e.matches(PyExc_OSError)) return;
            throw;
        }
        if (job.is_none()) return;
        py::object answer;
        try {
            bool group = is_text(job[py::int_(0)], "check");
            answer = py::make_tuple("done", (group ? run_group : run_fix)(job[py::int_(1)]));
        } catch (py::error_already_set& e) {
            answer = error_answer(e);
            conn.attr("send")(answer);
            if (!is_ordinary(e)) return;  // an interrupt or SystemExit ends the worker
            continue;
        }
        conn.attr("send")(answer);
    }
}

// A worker process's body: the library's worker set-up, then the loop on a large stack.
void worker_main(py::object conn, py::object linter, py::object arguments) {
    py::module_ signal = py::module_::import("signal");
    // Ctrl-C reaches the whole process group; the parent decides for its workers.
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
    state().worker_initialize(linter, py::arg("arguments") = arguments);
    py::module_ threading = py::module_::import("threading");
    try {
        threading.attr("stack_size")(kWorkerStack);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
        serve(conn);  // no such stack here: the loop on this thread
        return;
    }
    py::cpp_function body([conn]() { serve(conn); }, py::name("serve"));
    py::object thread = threading.attr("Thread")(py::arg("target") = body, py::arg("daemon") = true);
    thread.attr("start")();
    thread.attr("join")();
}

// Why a worker process ended, from its exit code.
py::str exit_reason(py::handle process) {
    py::object code = process.attr("exitcode");
    if (code.is_none()) return py::str("it stopped answering");
    long status = py::cast<long>(code);
    if (status < 0) {
        py::object name = py::str("signal {}").format(-status);
        try {
            name = py::module_::import("signal").attr("Signals")(-status).attr("name");
        } catch (py::error_already_set& e) {
            if (!is_ordinary(e)) throw;
        }
        return py::str("it was killed by {}").format(name);
    }
    return py::str("it exited with status {}").format(status);
}

}  // namespace

WorkerSet::WorkerSet(py::handle linter, py::handle arguments, Py_ssize_t count)
    : linter_(py::reinterpret_borrow<py::object>(linter)),
      arguments_(py::reinterpret_borrow<py::object>(arguments)) {
    if (count < 1) {
        PyErr_SetString(PyExc_ValueError, "Number of processes must be at least 1");
        throw py::error_already_set();
    }
    workers_.resize(static_cast<size_t>(count));
    try {
        for (Worker& worker : workers_) start(worker);
    } catch (py::error_already_set&) {
        kill();
        throw;
    }
}

void WorkerSet::start(Worker& worker) {
    py::module_ mp = py::module_::import("multiprocessing");
    py::tuple ends = mp.attr("Pipe")();
    py::object target = state().module.attr("_worker_main");
    // Looked up at each start, so that a replaced process class is seen.
    worker.process = mp.attr("Process")(
        py::arg("target") = target, py::arg("args") = py::make_tuple(ends[1], linter_, arguments_),
        py::arg("daemon") = true);
    worker.process.attr("start")();
    ends[1].attr("close")();
    worker.conn = ends[0];
    worker.job = py::object();
}

// Closes what is left of a worker; its process has ended or been killed.
void WorkerSet::release(Worker& worker) {
    if (worker.conn) {
        try {
            worker.conn.attr("close")();
        } catch (py::error_already_set&) {
        }
    }
    worker.conn = py::object();
    worker.job = py::object();
}

void WorkerSet::run(py::list queue, const OnResult& on_result, const OnLost& on_lost) {
    py::object wait = import_attr("multiprocessing.connection", "wait");
    size_t next = 0;
    for (;;) {
        for (Worker& worker : workers_) {
            if (worker.job || next >= queue.size()) continue;
            worker.job = queue[next++];
            try {
                worker.conn.attr("send")(worker.job);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;  // a dead worker: seen below
            }
        }
        py::list waitables;
        bool busy = false;
        for (Worker& worker : workers_) {
            if (worker.job) {
                waitables.append(worker.conn);
                busy = true;
            }
            waitables.append(worker.process.attr("sentinel"));
        }
        if (!busy) return;
        py::object ready = wait(waitables);
        for (Worker& worker : workers_) {
            bool ended = contains(ready, worker.process.attr("sentinel"));
            if (worker.job && contains(ready, worker.conn)) {
                py::object answer;
                try {
                    answer = worker.conn.attr("recv")();
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_EOFError) && !e.matches(PyExc_OSError)) throw;
                    ended = true;  // the pipe closed with the process
                }
                if (answer) {
                    py::object job = worker.job;
                    worker.job = py::object();
                    if (is_text(answer[py::int_(0)], "error")) {
                        py::object error = answer[py::int_(1)];
                        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
                        throw py::error_already_set();
                    }
                    on_result(job, answer[py::int_(1)]);
                    continue;
                }
            }
            if (!ended) continue;
            // The process ended: its job is lost, and a new worker takes its place.
            worker.process.attr("join")(5);
            py::str reason = exit_reason(worker.process);
            py::object job = worker.job;
            release(worker);
            start(worker);
            if (job) on_lost(job, reason);
        }
    }
}

void WorkerSet::stop() {
    for (Worker& worker : workers_) {
        if (!worker.conn) continue;
        try {
            worker.conn.attr("send")(py::none());
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
    for (Worker& worker : workers_) {
        if (!worker.process) continue;
        worker.process.attr("join")(10);
        if (truthy(worker.process.attr("is_alive")())) {
            worker.process.attr("kill")();
            worker.process.attr("join")();
        }
        release(worker);
    }
}

void WorkerSet::kill() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    for (Worker& worker : workers_) {
        if (!worker.process) continue;
        try {
            worker.process.attr("kill")();
            worker.process.attr("join")(5);
        } catch (py::error_already_set&) {
        }
        release(worker);
    }
    PyErr_Restore(type, value, trace);
}

void register_worker_processes(py::module_& m) {
    (void)import_attr("multiprocessing.connection", "wait");
    m.def("_worker_main", &worker_main, py::arg("conn"), py::arg("linter"), py::arg("arguments"),
          "The body of an analysis worker process.");
}

}  // namespace korvane::checker

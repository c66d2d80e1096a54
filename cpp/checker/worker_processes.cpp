// The worker processes of an analysis.
//
// Each worker is a process forked from this one that runs one job at a time, sent to
// it over a pipe of its own, so the parent always knows which job each worker holds.
// A worker that dies (a signal, a fatal error of the interpreter, `os._exit`, the
// memory killer) is seen at once through its process sentinel: its job is handed to
// the caller as lost, with the reason, and a new worker takes its place; the other
// jobs go on.  Nothing ever waits for an answer that cannot come.  Each worker counts
// the jobs it receives in memory it shares with the parent, so a job sent to a worker
// that died after its last answer, before reading the next, is known never to have
// run: it goes to another worker instead of being lost under a reason not its own.
//
// No worker outlives its parent.  Each closes its copies of the parent's pipe ends
// (its own and those of the workers forked before it), so that a parent gone is a
// closed pipe, and where the system has a parent-death signal, that signal kills the
// worker in any state, in the middle of a job too.
//
// In the worker, jobs run on a thread with a large stack.  The checks' recursion goes
// through the interpreter and through the native modules' own frames, whose share of
// the C stack per level is several times an interpreter frame's; the main thread's 8
// MiB could run out before the interpreter's recursion limit is reached, which ends the
// process instead of raising RecursionError.  On the large stack the recursion limit
// always comes first, and RecursionError is the worst a check can end in.
#include "checker.hpp"

#include <korvane/text.hpp>

#include <csignal>

#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace korvane::checker {

namespace {

// The stack of the thread that runs a worker's jobs: room for the interpreter's
// recursion limit at any frame size the checks reach.  Address space only, until used.
constexpr Py_ssize_t kWorkerStack = Py_ssize_t(512) << 20;

// This process's end of every worker pipe open in it, of every worker set: a worker
// closes the copies it inherits.  Kept for the life of the process.
py::list& parent_ends() {
    static py::list* ends = new py::list();
    return *ends;
}

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

// The next job from the pipe; null when the pipe says stop (None) or closes, as it
// does once the parent is gone.
py::object next_job(py::handle conn) {
    py::object job;
    try {
        job = conn.attr("recv")();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_EOFError) || e.matches(PyExc_OSError)) return py::object();
        throw;
    }
    return job.is_none() ? py::object() : job;
}

// Sends a job's answer; false when the pipe is closed, the parent gone.
bool send_answer(py::handle conn, py::handle answer) {
    try {
        conn.attr("send")(answer);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_OSError)) return false;
        throw;
    }
    return true;
}

// A worker's loop: a job in, counted as received, its answer out, until the pipe says
// stop or closes.  An interrupt or SystemExit in a job ends the worker once its answer
// is sent.
void serve(py::object conn, std::atomic<std::uint64_t>* taken) {
    py::object run_group = state().FileGroupTask();
    py::object run_fix = state().module.attr("FixTask")();
    for (;;) {
        py::object job = next_job(conn);
        if (!job) return;
        taken->fetch_add(1);
        py::object answer;
        bool go_on = true;
        try {
            bool group = is_text(job[py::int_(0)], "check");
            answer = py::make_tuple("done", (group ? run_group : run_fix)(job[py::int_(1)]));
        } catch (py::error_already_set& e) {
            answer = error_answer(e);
            go_on = is_ordinary(e);
        }
        if (!send_answer(conn, answer) || !go_on) return;
    }
}

// The worker dies with its parent: the system's parent-death signal, where it has one,
// kills it in any state.  A parent that died before the signal was set is seen in the
// parent pid, which is another's by then.
void die_with_parent(long parent) {
#if defined(__linux__)
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != static_cast<pid_t>(parent)) _exit(1);
#else
    (void)parent;
#endif
}

// Ctrl-C reaches the whole process group; the parent decides for its workers.  A
// request to terminate ends a worker at once, whatever handler the parent has set: a
// worker holds nothing that needs saving.
void set_worker_signals() {
    py::module_ signal = py::module_::import("signal");
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
    for (const char* name : {"SIGTERM", "SIGHUP"}) {
        py::object number = getattr_or_null(signal, py::str(name));
        if (number) signal.attr("signal")(number, signal.attr("SIG_DFL"));
    }
}

// A worker process's body: bound to its parent, its copies of the parent's pipe ends
// closed, the library's worker set-up, then the loop on a large stack.
void worker_main(py::object conn, py::object linter, py::object arguments, long parent,
                 py::list inherited, py::capsule counter) {
    die_with_parent(parent);
    for (py::handle end : inherited) end.attr("close")();
    set_worker_signals();
    auto* taken = static_cast<std::atomic<std::uint64_t>*>(counter.get_pointer());
    state().worker_initialize(linter, py::arg("arguments") = arguments);
    py::module_ threading = py::module_::import("threading");
    try {
        threading.attr("stack_size")(kWorkerStack);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
        serve(conn, taken);  // no such stack here: the loop on this thread
        return;
    }
    py::cpp_function body([conn, taken]() { serve(conn, taken); }, py::name("serve"));
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

// Waits `seconds` for a worker process to end, then kills it if it is still there.
void join_or_kill(py::handle process, int seconds) {
    process.attr("join")(seconds);
    if (truthy(process.attr("is_alive")())) {
        process.attr("kill")();
        process.attr("join")();
    }
}

// The end of a worker process whose pipe closed or whose sentinel is ready, and the
// reason it ended: one that closed its pipe but goes on is killed.
py::str end_process(py::handle process) {
    process.attr("join")(5);
    py::str reason = exit_reason(process);
    join_or_kill(process, 0);
    return reason;
}

// Raises here the error a worker's job answered with.
[[noreturn]] void raise_answer(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

Py_ssize_t at_least_one(Py_ssize_t count) {
    if (count < 1) {
        PyErr_SetString(PyExc_ValueError, "Number of processes must be at least 1");
        throw py::error_already_set();
    }
    return count;
}

}  // namespace

WorkerSet::SharedCounts::SharedCounts(Py_ssize_t count)
    : counts_(nullptr), bytes_(sizeof(Count) * static_cast<size_t>(count)) {
    static_assert(Count::is_always_lock_free, "a count shared between processes");
    void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
    counts_ = static_cast<Count*>(memory);
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) new (counts_ + i) Count(0);
}

WorkerSet::SharedCounts::~SharedCounts() { munmap(counts_, bytes_); }

WorkerSet::WorkerSet(py::handle linter, py::handle arguments, Py_ssize_t count)
    : linter_(py::reinterpret_borrow<py::object>(linter)),
      arguments_(py::reinterpret_borrow<py::object>(arguments)),
      counts_(at_least_one(count)),
      workers_(static_cast<size_t>(count)) {
    for (size_t i = 0; i < workers_.size(); ++i) workers_[i].taken = counts_.at(i);
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
    py::list inherited = py::reinterpret_steal<py::list>(PySequence_List(parent_ends().ptr()));
    if (!inherited) throw py::error_already_set();
    inherited.append(ends[0]);
    worker.taken->store(0);
    worker.sent = 0;
    py::object target = state().module.attr("_worker_main");
    py::tuple args = py::make_tuple(ends[1], linter_, arguments_, static_cast<long>(getpid()),
                                    inherited, py::capsule(static_cast<void*>(worker.taken)));
    // Looked up at each start, so that a replaced process class is seen.
    worker.process = mp.attr("Process")(py::arg("target") = target, py::arg("args") = args,
                                        py::arg("daemon") = true);
    worker.process.attr("start")();
    ends[1].attr("close")();
    worker.conn = ends[0];
    parent_ends().append(worker.conn);
    worker.job = py::object();
}

// Clears a worker and closes its pipe; its process has ended or been killed.  An
// interrupt or the like goes on, once the worker is cleared.
void WorkerSet::release(Worker& worker) {
    py::object conn = worker.conn;
    worker.conn = py::object();
    worker.job = py::object();
    worker.process = py::object();
    if (!conn) return;
    try {
        parent_ends().attr("remove")(conn);
        conn.attr("close")();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
    }
}

// Gives each idle worker the next job of the queue.
void WorkerSet::hand_out(const py::list& queue, size_t& next) {
    for (Worker& worker : workers_) {
        if (worker.job || next >= queue.size()) continue;
        worker.job = queue[next++];
        ++worker.sent;
        try {
            worker.conn.attr("send")(worker.job);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;  // a dead worker: seen by its sentinel
        }
    }
}

// The pipes of the workers that hold a job and the sentinels of all; empty when no
// worker holds a job.
py::list WorkerSet::waitables() const {
    py::list waitables;
    bool busy = false;
    for (const Worker& worker : workers_) {
        if (worker.job) {
            waitables.append(worker.conn);
            busy = true;
        }
        waitables.append(worker.process.attr("sentinel"));
    }
    return busy ? waitables : py::list();
}

void WorkerSet::run(py::list queue, const OnResult& on_result, const OnLost& on_lost) {
    py::object wait = import_attr("multiprocessing.connection", "wait");
    size_t next = 0;
    for (;;) {
        hand_out(queue, next);
        py::list ready_for = waitables();
        if (ready_for.empty()) return;
        py::object ready = wait(ready_for);
        for (Worker& worker : workers_) settle(worker, ready, queue, on_result, on_lost);
    }
}

// What `ready` tells of one worker: its answer is taken, and an ended process is
// replaced, right after an answer too, before the worker could be given a new job.
void WorkerSet::settle(Worker& worker, py::handle ready, py::list& queue,
                       const OnResult& on_result, const OnLost& on_lost) {
    bool ended = contains(ready, worker.process.attr("sentinel"));
    if (worker.job && contains(ready, worker.conn) && !take_answer(worker, on_result)) ended = true;
    if (ended) replace(worker, queue, on_lost);
}

// Takes the answer to the worker's job and hands it on; false when the pipe closed
// instead, with the process.
bool WorkerSet::take_answer(Worker& worker, const OnResult& on_result) {
    py::object answer;
    try {
        answer = worker.conn.attr("recv")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_EOFError) && !e.matches(PyExc_OSError)) throw;
        return false;
    }
    py::object job = worker.job;
    worker.job = py::object();
    if (is_text(answer[py::int_(0)], "error")) raise_answer(answer[py::int_(1)]);
    on_result(job, answer[py::int_(1)]);
    return true;
}

// A new process in place of one that ended.  The job it held is lost, with the
// reason, when the process received it, or when it died before receiving any; a job it
// never received after earlier ones (it died between two jobs) goes back to the queue.
void WorkerSet::replace(Worker& worker, py::list& queue, const OnLost& on_lost) {
    py::str reason = end_process(worker.process);
    py::object job = worker.job;
    std::uint64_t taken = worker.taken->load();
    bool unread = taken > 0 && taken < worker.sent;
    release(worker);
    start(worker);
    if (!job) return;
    if (unread) {
        queue.append(job);
    } else {
        on_lost(job, reason);
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
        join_or_kill(worker.process, 10);
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
        try {
            release(worker);
        } catch (py::error_already_set&) {
        }
    }
    PyErr_Restore(type, value, trace);
}

void register_worker_processes(py::module_& m) {
    (void)import_attr("multiprocessing.connection", "wait");
    m.def("_worker_main", &worker_main, py::arg("conn"), py::arg("linter"), py::arg("arguments"),
          py::arg("parent"), py::arg("inherited"), py::arg("taken"),
          "The body of an analysis worker process.");
}

}  // namespace korvane::checker

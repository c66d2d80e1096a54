// The set-up that lasts for the lint of one analysis.
//
// Two questions are answered again and again while a project's trees are built and
// checked, with answers that cannot change while the trees are only read:
// - The ancestry of a class, which every model, field, manager and admin test needs
//   and astroid recomputes at each call by inferring every base.  The helpers keep it
//   per class node while their analysis memo is open.
// - The parameters of a node constructor.  astroid 2.9 wraps several constructors
//   (Name, Attribute, AssignName, ...) in a check for deprecated default arguments
//   that calls `inspect.signature` on the constructor at every node it builds,
//   about a quarter of the time of building Django's own modules.  For the analysis, the
//   wrapper's module sees an `inspect` whose `signature` is kept per function: the
//   same Signature objects, the same warnings, from the same place.
// Both end with the analysis, so the fix roads, which edit trees, never see a kept
// answer, and nothing outlives the call.
//
// The cyclic garbage collector's full collections walk every object of the process
// each time the heap has grown by a quarter, the trees built so far included, which
// stay alive in astroid's module cache until the analysis ends; on a large project
// that is a tenth of the time.  For the analysis, what survived a full collection is
// frozen once the file or fix task in progress is done, after a collection of the
// young generations, so the next full collection walks only what was made since; the
// frozen objects go back to the collector when the analysis ends.  Garbage is still
// collected as it comes (peak memory measured unchanged).  The freeze is not done
// from a collector callback: a collection can start at the recursion limit, deep in
// a tree's construction, where calling the callback raises RecursionError; the
// collector drops that error, and the interpreter, left past its limit, then ends the
// process ("Cannot recover from stack overflow").  A process that freezes objects of
// its own keeps its collector as it is.
#include "checker.hpp"

namespace korvane::checker {

namespace {

// A module object like `inspect` whose `signature` keeps its answer per callable.
py::object inspect_with_kept_signatures(py::handle inspect) {
    py::object stand_in = py::module_::import("types").attr("ModuleType")(inspect.attr("__name__"));
    stand_in.attr("__dict__").attr("update")(inspect.attr("__dict__"));
    py::object lru_cache = py::module_::import("functools").attr("lru_cache");
    stand_in.attr("signature") = lru_cache(py::none())(inspect.attr("signature"));
    return stand_in;
}

// `obj.method(*arguments)` when undoing the scope: an error is dropped.
template <typename... Arguments>
void call_quietly(py::handle obj, const char* method, Arguments... arguments) {
    PyObject* name = PyUnicode_FromString(method);
    PyObject* result =
        name ? PyObject_CallMethodObjArgs(obj.ptr(), name, arguments.ptr()..., nullptr) : nullptr;
    if (!result) PyErr_Clear();
    Py_XDECREF(result);
    Py_XDECREF(name);
}

// The collector while a scope freezes what survives full collections (the scope holds
// it), and its count of full collections at the last freeze.  A forked worker inherits
// both with the scope it was forked in.
PyObject* freezing_gc = nullptr;
long frozen_at = 0;

long full_collections(py::handle gc) {
    return py::cast<long>(gc.attr("get_stats")()[py::int_(2)][KORVANE_NAME("collections")]);
}

}  // namespace

AnalysisScope::AnalysisScope() {
    py::object gc = py::module_::import("gc");
    bool own_freezes = py::cast<long>(gc.attr("get_freeze_count")()) > 0;
    py::object decorators = py::module_::import("astroid.decorators");
    py::object inspect = getattr_or_null(decorators, KORVANE_NAME("inspect"));
    py::object stand_in;
    if (inspect && PyModule_Check(inspect.ptr())) stand_in = inspect_with_kept_signatures(inspect);

    // Nothing has changed yet; from here on each step is undone if a later one fails.
    state().helpers.attr("open_analysis_memo")();
    try {
        if (stand_in) {
            decorators.attr("inspect") = stand_in;
            decorators_ = decorators;
            inspect_ = inspect;
            stand_in_ = stand_in;
        }
        if (!own_freezes) {
            frozen_at = full_collections(gc);
            gc_ = gc;
            freezing_gc = gc_.ptr();
        }
    } catch (py::error_already_set&) {
        undo();
        throw;
    }
}

AnalysisScope::~AnalysisScope() { undo(); }

// Undoes what the scope set up, in reverse order; an error in flight stays as it is.
void AnalysisScope::undo() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (decorators_) {
        // Put the module back unless someone else has replaced it in the meantime.
        PyObject* now = PyObject_GetAttrString(decorators_.ptr(), "inspect");
        if (!now) PyErr_Clear();
        if (now == stand_in_.ptr() &&
            PyObject_SetAttrString(decorators_.ptr(), "inspect", inspect_.ptr()) < 0)
            PyErr_Clear();
        Py_XDECREF(now);
    }
    if (gc_) {
        freezing_gc = nullptr;
        call_quietly(gc_, "unfreeze");
    }
    call_quietly(state().helpers, "close_analysis_memo");
    PyErr_Restore(type, value, traceback);
}

// Called between files and between fix tasks, where the stack is shallow.
void freeze_after_full_collection() {
    if (!freezing_gc) return;
    py::handle gc(freezing_gc);
    long now = full_collections(gc);
    if (now == frozen_at) return;
    gc.attr("collect")(1);
    gc.attr("freeze")();
    frozen_at = now;
}

}  // namespace korvane::checker

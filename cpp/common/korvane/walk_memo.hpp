// Answers that a checker plug-in keeps for the length of one module's walk.
#pragma once

#include <korvane/common.hpp>

#include <frameobject.h>

#include <utility>

namespace korvane {

// A memo of (question, node) -> answer that belongs to the walk of one module: the
// checker opens it for the module in visit_module and closes it in leave_module.  The
// trees are not edited while they are linted, so an inference-heavy question (is this
// call a model field?) need not be asked twice of one node there.  Outside a walk
// every question is asked anew, so the fixes, which edit trees in place, never see a
// kept answer.  Errors are not kept: a question that raised is asked again.
//
// A walk that ends with an error never reaches leave_module.  So the memo also
// remembers the Python frame that opened it (the library's walk of the module node)
// and is used only while that frame is still running: once the walk is over, however
// it ended, the first question drops the memo, and the next walk starts a new one.
class WalkMemo {
  public:
    // Starts the memo of the walk of `module`; whatever an earlier walk left is dropped.
    void open(py::handle module) {
        Walk& w = walk();
        w = Walk();
        PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
        if (!frame) return;  // no Python caller to tie the walk to: nothing is kept
        w.module = py::reinterpret_borrow<py::object>(module);
        w.frame = py::reinterpret_borrow<py::object>(frame);
        w.answers = py::dict();
    }

    // Ends the memo of the walk of `module`; a memo of another module's walk stays.
    void close(py::handle module) {
        Walk& w = walk();
        if (w.module.is(module)) w = Walk();
    }

    template <typename Compute>
    py::object ask(const py::str& question, py::handle node, Compute&& compute) {
        if (!live()) return compute();
        py::dict kept = walk().answers;
        py::tuple key = py::make_tuple(question, node);
        PyObject* hit = PyDict_GetItemWithError(kept.ptr(), key.ptr());
        if (hit) return py::reinterpret_borrow<py::object>(hit);
        if (PyErr_Occurred()) {
            // A value that cannot be a key (unhashable) is asked about without the memo.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            return compute();
        }
        py::object answer = std::forward<Compute>(compute)();
        // the question may have started another walk (or ended this one)
        if (!walk().answers.is(kept)) return answer;
        if (PyDict_SetItem(kept.ptr(), key.ptr(), answer.ptr()) < 0) throw py::error_already_set();
        return answer;
    }

  private:
    struct Walk {
        py::object module;  // the module being walked; null when no walk is open
        py::object frame;   // the Python frame that opened the memo
        py::dict answers;
    };

    // Whether a walk is open and its frame is still running; a memo whose walk is
    // over is dropped here.
    bool live() {
        Walk& w = walk();
        if (!w.module) return false;
        if (on_stack(w.frame.ptr())) return true;
        w = Walk();
        return false;
    }

    static bool on_stack(PyObject* frame) {
#if PY_VERSION_HEX >= 0x03090000
        PyFrameObject* f = PyEval_GetFrame();
        Py_XINCREF(f);
        while (f) {
            if (reinterpret_cast<PyObject*>(f) == frame) {
                Py_DECREF(f);
                return true;
            }
            PyFrameObject* back = PyFrame_GetBack(f);
            Py_DECREF(f);
            f = back;
        }
        return false;
#else
        for (PyFrameObject* f = PyEval_GetFrame(); f; f = f->f_back) {
            if (reinterpret_cast<PyObject*>(f) == frame) return true;
        }
        return false;
#endif
    }

    Walk& walk() {
        if (!walk_) walk_ = new Walk();  // leaked on purpose: outlives the interpreter
        return *walk_;
    }
    Walk* walk_ = nullptr;
};

}  // namespace korvane

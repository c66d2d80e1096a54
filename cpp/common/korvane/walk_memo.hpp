// Answers that a checker plug-in keeps for the length of one module's walk.
#pragma once

#include <korvane/common.hpp>

#include <utility>

namespace korvane {

// A memo of (question, node) -> answer, open only while a checker walks one module:
// the checker opens it in visit_module and closes it in leave_module.  The trees are
// not edited while they are linted, so an inference-heavy question (is this call a
// model field?) need not be asked twice of one node there.  While the memo is closed
// every question is asked anew, so the fixes, which edit trees in place, never see a
// kept answer.  Errors are not kept: a question that raised is asked again.
class WalkMemo {
  public:
    void open() { memo() = py::dict(); }
    void close() { memo() = py::none(); }

    template <typename Compute>
    py::object ask(const py::str& question, py::handle node, Compute&& compute) {
        py::object& kept = memo();
        if (kept.is_none()) return compute();
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
        if (PyDict_SetItem(kept.ptr(), key.ptr(), answer.ptr()) < 0) throw py::error_already_set();
        return answer;
    }

  private:
    py::object& memo() {
        if (!kept_) kept_ = &keep(py::none());
        return *kept_;
    }
    py::object* kept_ = nullptr;
};

}  // namespace korvane

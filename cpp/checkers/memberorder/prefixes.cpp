// Counting of the name prefixes that model classes share.
#include "memberorder.hpp"

namespace korvane::memberorder {

namespace {

// The first prefix length, read as range() reads its bounds: any integer (through
// __index__), a TypeError for anything else.  A bound past the machine's range is
// clamped, which counts the same: nothing past the longest text, and below 1 like 1.
Py_ssize_t first_length(py::handle min_length) {
    PyObject* index = PyNumber_Index(min_length.ptr());
    if (!index) throw py::error_already_set();
    Py_ssize_t first = PyNumber_AsSsize_t(index, nullptr);  // clamps, never raises
    Py_DECREF(index);
    return first < 1 ? 1 : first;
}

}  // namespace

// For each value, counts its prefixes of min_length - 1 up to len(value) - 2
// characters, in an insertion-ordered counter.  A min_length below 1 counts like 1.
py::object get_longest_common_prefix(py::object values, py::object min_length) {
    py::object counter = KORVANE_IMPORTED("collections", "Counter")();
    Py_ssize_t first = first_length(min_length);
    for (py::handle value : values) {
        Py_ssize_t length = py::len(value);
        for (Py_ssize_t i = first; i < length; ++i) {
            PyObject* cut = PySequence_GetSlice(value.ptr(), 0, i - 1);
            if (!cut) throw py::error_already_set();
            py::object prefix = py::reinterpret_steal<py::object>(cut);
            py::object current = counter[prefix];
            counter[prefix] = current + py::int_(1);
        }
    }
    return counter;
}

void register_prefixes(py::module_& m) {
    m.def("get_longest_common_prefix", &get_longest_common_prefix, py::arg("values"),
          py::arg("min_length"), "Counts the name prefixes shared by the given texts.");
}

}  // namespace korvane::memberorder

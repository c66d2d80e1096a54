// A Python iterator whose work runs in C++ on each `__next__`: generators of this
// module are built on it.  `step` answers the next value or a null object at the end;
// `release` frees what the iteration holds (open listings) and runs once, at the end,
// on an error, or when `close()` is called.
#pragma once

#include <korvane/common.hpp>

#include <memory>

namespace korvane::meta {

struct LazySource {
    virtual ~LazySource() = default;
    virtual py::object step() = 0;
    virtual void release() {}
};

struct LazyIterator {
    std::unique_ptr<LazySource> source;
    bool done = false;

    void finish() {
        if (done) return;
        done = true;
        source->release();
    }

    // The next value, or a null object when the iteration has ended.
    py::object next() {
        if (done) return py::object();
        py::object value;
        try {
            value = source->step();
        } catch (py::error_already_set&) {
            done = true;
            // The error being raised wins over any error of the clean-up.
            try {
                source->release();
            } catch (py::error_already_set&) {
            }
            throw;
        }
        if (!value) finish();
        return value;
    }
};

// Registers the iterator type on the module (once).
void register_lazy(py::module_& m);

// Wraps a source as a Python iterator object.
py::object make_lazy(std::unique_ptr<LazySource> source);

}  // namespace korvane::meta

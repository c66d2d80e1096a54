// The iterator type behind the module's generators.
#include "lazy.hpp"

namespace korvane::meta {

void register_lazy(py::module_& m) {
    py::class_<LazyIterator>(m, "_LazyIterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__",
             [](LazyIterator& self) {
                 py::object value = self.next();
                 if (!value) throw py::stop_iteration();
                 return value;
             })
        .def("close", [](LazyIterator& self) { self.finish(); });
}

py::object make_lazy(std::unique_ptr<LazySource> source) {
    auto it = std::make_unique<LazyIterator>();
    it->source = std::move(source);
    return py::cast(std::move(it));
}

}  // namespace korvane::meta

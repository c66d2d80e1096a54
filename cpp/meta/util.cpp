// Small services that the files of the module share.
#include "meta.hpp"

#include <korvane/project_files.hpp>

namespace korvane::meta {

py::object with_block(py::handle cm, const std::function<py::object(py::object)>& body) {
    py::object exit = cm.attr(KORVANE_NAME("__exit__"));
    py::object entered = cm.attr(KORVANE_NAME("__enter__"))();
    py::object result;
    try {
        result = body(entered);
    } catch (py::error_already_set& e) {
        py::object suppressed = exit(e.type(), e.value(), korvane::trace_of(e));
        if (truthy(suppressed)) return py::none();
        throw;
    }
    exit(py::none(), py::none(), py::none());
    return result;
}

py::object settings_build(py::handle source, py::handle modname, py::handle path) {
    py::object cm = state().shims.attr(KORVANE_NAME("BuilderWithSettingsTransforms"))();
    return with_block(cm, [&](py::object builder) {
        py::object build = builder.attr(KORVANE_NAME("string_build"));
        if (modname.is_none() && path.is_none()) return build(source);
        return build(source, py::arg("modname") = modname, py::arg("path") = path);
    });
}

py::object read_text(py::handle path) {
    py::object file = open_regular_text(path);
    if (!file) {
        PyErr_Format(PyExc_OSError, "Not a regular file: %R", path.ptr());
        throw py::error_already_set();
    }
    return read_and_close(file);
}

void log_exception(const char* message, py::error_already_set& e) {
    py::object value = e.value();
    if (e.trace() && !e.trace().is_none()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
    state().logger.attr(KORVANE_NAME("exception"))(message, py::arg("exc_info") = value);
}

}  // namespace korvane::meta

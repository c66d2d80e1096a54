// Module checkers.templates: its state, the registration entry points of its parts
// and the few facilities they share.
#pragma once

#include <korvane/common.hpp>
#include <korvane/module.hpp>

#include <string>
#include <utility>

namespace korvane::templates {

namespace py = pybind11;

// The module's handle (the rewriter looks its classes and functions up on it at call
// time, so patched names are honoured) and its logger.
struct State : korvane::ModuleState {};
State& state();

// Codes, is_hardcoded_path, BaseTemplateChecker and Checker.
void register_checker(py::module_& m);
// BaseHTMLMutator, HardCodedStaticUrlToStaticTagHTMLMutator, Visitor, the static-tag
// rewrite and its factory.
void register_rewriter(py::module_& m);
// block_tags: the block tags Django's template parser reads.
void register_comments(py::module_& m);

// The template text with its Django comments (`{% comment %}` blocks and `{# #}`) turned
// into spaces, line feeds kept, so that positions after them do not move; the same
// object when it holds none.
py::object blank_template_comments(py::object text);

// The handler name for a start tag: "visit_" followed by the tag as text.
inline py::object handler_name(py::handle tag) {
    PyObject* text = PyObject_Str(tag.ptr());
    if (!text) throw py::error_already_set();
    py::object tag_text = py::reinterpret_steal<py::object>(text);
    PyObject* name = PyUnicode_Concat(KORVANE_NAME("visit_").ptr(), tag_text.ptr());
    if (!name) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(name);
}

// Unpacks one (name, value) attribute pair as `for name, value in attrs` does.
inline std::pair<py::object, py::object> unpack_pair(py::handle item) {
    PyObject* seq = PySequence_Fast(item.ptr(), "cannot unpack non-iterable attribute");
    if (!seq) throw py::error_already_set();
    py::object keep_seq = py::reinterpret_steal<py::object>(seq);
    Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd", size);
        throw py::error_already_set();
    }
    PyObject** items = PySequence_Fast_ITEMS(seq);
    return {py::reinterpret_borrow<py::object>(items[0]),
            py::reinterpret_borrow<py::object>(items[1])};
}

// The tags whose `src` attribute names a media or script file: each has a
// `visit_<tag>` alias of the class's `visit_element_with_src`.
inline constexpr const char* kElementsWithSrc[] = {
    "audio", "embed", "img", "input", "script", "source", "track", "video"};

// Binds `visit_<tag>` of every tag of kElementsWithSrc to the one handler `with_src`.
inline void alias_src_visitors(py::handle cls, py::handle with_src) {
    for (const char* tag : kElementsWithSrc)
        cls.attr((std::string("visit_") + tag).c_str()) = with_src;
}

// The `visit_<tag>` handler of a parser for a start tag, or a null object.
inline py::object start_tag_handler(py::handle self, py::handle tag) {
    return getattr_or_null(self, handler_name(tag));
}


}  // namespace korvane::templates

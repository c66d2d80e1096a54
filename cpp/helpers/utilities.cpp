// Small shared utilities: the deferred message template type, advice links, module
// names, middleware positions, the JSON fallback converter and whitespace folding.
#include "helpers.hpp"

namespace korvane::helpers {

namespace {

// Where the advice page of each message code lives: this address, then the code.
constexpr const char* kAdviceBase = "https://docs.korvane.dev/advice/";

py::str get_hyperlink(py::object message_id) {
    PyObject* text = PyObject_Format(message_id.ptr(), KORVANE_NAME("").ptr());
    if (!text) throw py::error_already_set();
    return py::str(kAdviceBase) + py::reinterpret_steal<py::str>(text);
}

py::object get_module_name(py::object module) {
    py::object parts = module.attr(KORVANE_NAME("split"))(KORVANE_NAME("."));
    return parts[py::int_(-1)];
}

py::object get_middleware_position(py::object middlewares, py::object middleware) {
    py::object index;
    try {
        index = middlewares.attr(KORVANE_NAME("index"))(middleware);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError)) return py::none();
        throw;
    }
    Py_ssize_t length = PyObject_Length(middlewares.ptr());
    if (length < 0) throw py::error_already_set();
    // A percentage of the length, counted from 1.  Divide first, then multiply, as the
    // positions have always been computed (the other order may round differently).
    py::float_ share(100.0 / static_cast<double>(length));
    py::object position = index + py::int_(1);
    PyObject* result = PyNumber_Multiply(share.ptr(), position.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object serializer(py::object obj) {
    if (korvane::isinstance(obj, KORVANE_IMPORTED("decimal", "Decimal"))) {
        PyObject* r = PyNumber_Long(obj.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }
    if (PySet_Check(obj.ptr())) {
        PyObject* r = PySequence_List(obj.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }
    py::object type_name = py::type::handle_of(obj).attr("__name__");
    PyErr_Format(PyExc_TypeError, "Object of type %S is not JSON serializable", type_name.ptr());
    throw py::error_already_set();
}

py::object normalize_django_template(py::object template_content) {
    static py::object& pattern =
        keep(py::module_::import("re").attr("compile")(py::str("\\s+")));
    return pattern.attr("sub")(py::str(" "), template_content);
}

// `context_string % args`: the argument mapping itself, kept for wording later.
py::object context_string_mod(py::object /*self*/, py::object kwargs) { return kwargs; }

}  // namespace

void register_utilities(py::module_& m) {
    (void)KORVANE_IMPORTED("decimal", "Decimal");

    py::dict ns;
    ns["__doc__"] = py::str(
        "A message template that defers rendering: where the linter formats the template "
        "with the message arguments, `%` returns the argument mapping itself, which is "
        "saved and worded at the last step.");
    py::object str_type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::object context_string = make_class(m, "context_string", py::make_tuple(str_type), ns);
    def_method(context_string, "__mod__", &context_string_mod, py::arg("kwargs"));

    m.def("get_hyperlink", &get_hyperlink, py::arg("message_id"),
          "The advice address of a message code.");
    m.def("get_module_name", &get_module_name, py::arg("module"),
          "The last component of a dotted name.");
    m.def("get_middleware_position", &get_middleware_position, py::arg("middlewares"),
          py::arg("middleware"),
          "Where the first occurrence of an entry stands in a list, as a percentage of "
          "its length; None when absent.");
    m.def("serializer", &serializer, py::arg("obj"),
          "Fallback converter for the JSON encoder: decimals to int, sets to lists.");
    m.def("normalize_django_template", &normalize_django_template,
          py::arg("template_content"), "Folds every run of whitespace into one blank.");
}

}  // namespace korvane::helpers

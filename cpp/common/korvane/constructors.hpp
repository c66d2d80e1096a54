// The constructor a class body defines, as the field checks read it.
#pragma once

#include <korvane/common.hpp>

namespace korvane {

// The constructor that a class body binds to "__init__": the function definition
// itself, or, for a binding that is no definition (`__init__ = _init`,
// `__init__ = Base.__init__`, a lambda), the function or lambda it infers to.  A null
// object when it is neither (a staticmethod call, a property, an uninferable name).
// The class must bind "__init__" in its own body.
inline py::object constructor_function(py::handle cls) {
    static py::object& arguments_class = KORVANE_IMPORTED("astroid", "Arguments");
    const py::str& args_attr = KORVANE_NAME("args");
    py::object binding = cls[KORVANE_NAME("__init__")];
    py::object args = getattr_or_null(binding, args_attr);
    if (args && korvane::isinstance(args, arguments_class)) return binding;
    py::object value;
    try {
        value = KORVANE_IMPORTED("pylint.checkers.utils", "safe_infer")(binding);
    } catch (py::error_already_set& e) {
        // any ordinary error of an inference that cannot cope: no value
        if (!is_ordinary(e)) throw;
        return py::object();
    }
    if (value.is_none()) return py::object();
    args = getattr_or_null(value, args_attr);
    if (args && korvane::isinstance(args, arguments_class)) return value;
    return py::object();
}

}  // namespace korvane

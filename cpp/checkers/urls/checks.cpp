// URL module detection and the lazy-reverse misuse test.
#include "urls.hpp"

namespace korvane::urls {

namespace {

// Whether `child` is (in) the body of the function or lambda `fn`.
bool in_body(py::handle fn, py::handle child) {
    py::object body = fn.attr(KORVANE_NAME("body"));
    if (py::isinstance<py::list>(body)) {
        for (py::handle statement : body)
            if (statement.is(child)) return true;
        return false;
    }
    return body.is(child);
}

// The callees whose arguments are kept for later: a view's configuration (as_view) and
// a URL pattern (path, re_path, url), even when a function builds them (get_urls).
constexpr const char* kLazyCallees[] = {"as_view", "path", "re_path", "url"};

// Whether `child` is an argument (not the callee) of a call to one of kLazyCallees.
bool is_lazy_argument(py::handle parent, py::handle child) {
    if (korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "Keyword"))) return false;  // seen at the call
    if (!korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "Call"))) return false;
    py::object func = parent.attr(KORVANE_NAME("func"));
    if (func.is(child)) return false;
    py::object name = getattr_or_null(func, KORVANE_NAME("attrname"));
    if (!name) name = getattr_or_null(func, KORVANE_NAME("name"));
    if (!name) return false;
    for (const char* callee : kLazyCallees)
        if (korvane::is_text(name, callee)) return true;
    return false;
}

// Whether a function defines a function in its body and returns it: a decorator
// factory, whose body runs when what it decorates is defined, at import time.
bool returns_nested_function(py::handle fn) {
    py::handle function_cls = KORVANE_IMPORTED("astroid", "FunctionDef");
    if (!korvane::isinstance(fn, function_cls)) return false;
    py::set nested;
    for (py::handle statement : fn.attr(KORVANE_NAME("body")))
        if (korvane::isinstance(statement, function_cls)) nested.add(statement.attr(KORVANE_NAME("name")));
    if (nested.empty()) return false;
    for (py::handle ret : fn.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Return"),
                                                                  py::arg("skip_klass") = function_cls)) {
        py::object value = ret.attr(KORVANE_NAME("value"));
        if (korvane::isinstance(value, KORVANE_IMPORTED("astroid", "Name")) &&
            nested.contains(value.attr(KORVANE_NAME("name"))))
            return true;
    }
    return false;
}

}  // namespace

bool is_urls_module(py::handle module_node) {
    try {
        py::object locals = module_node.attr(KORVANE_NAME("locals"));
        int bound = PySequence_Contains(locals.ptr(), KORVANE_NAME("urlpatterns").ptr());
        if (bound < 0) throw py::error_already_set();
        if (!bound) return false;
        py::object imports = module_node.attr(KORVANE_NAME("nodes_of_class"))(
            KORVANE_IMPORTED("astroid", "ImportFrom"));
        for (py::handle imp : imports) {
            py::object modname = imp.attr(KORVANE_NAME("modname"));
            const char* wanted = korvane::is_text(modname, "django.urls")        ? "path"
                                 : korvane::is_text(modname, "django.conf.urls") ? "url"
                                                                                 : nullptr;
            if (!wanted) continue;
            for (py::handle entry : imp.attr(KORVANE_NAME("names"))) {
                if (korvane::is_text(entry[py::int_(0)], wanted)) return true;
            }
            return false;
        }
        return false;
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return false;
    }
}

py::object is_misusing_reverse_lazy(py::handle call_node) {
    try {
        py::object func = call_node.attr(KORVANE_NAME("func"));
        if (!korvane::is_text(func.attr(KORVANE_NAME("as_string"))(), "reverse_lazy"))
            return py::none();
        // The call is a misuse only when it runs as part of a function or lambda body.
        // Class bodies, module-level blocks and comprehensions, decorators and default
        // values of parameters all run when the enclosing code runs: walk on upwards.
        // A URL pattern or a view's configuration keeps the lazy text for when the URL
        // configuration is complete, and a decorator factory's body runs at import time:
        // there the lazy form is needed.
        py::handle lambda_cls = KORVANE_IMPORTED("astroid", "Lambda");  // FunctionDef too
        py::handle module_cls = KORVANE_IMPORTED("astroid", "Module");
        py::object child = py::reinterpret_borrow<py::object>(call_node);
        py::object parent = call_node.attr(KORVANE_NAME("parent"));
        while (!parent.is_none()) {
            if (is_lazy_argument(parent, child)) return py::bool_(false);
            if (korvane::isinstance(parent, lambda_cls) && in_body(parent, child))
                return py::bool_(!returns_nested_function(parent));
            if (korvane::isinstance(parent, module_cls)) return py::bool_(false);
            child = parent;
            parent = parent.attr(KORVANE_NAME("parent"));
        }
        return py::bool_(false);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return py::bool_(false);
    }
}

void register_checks(py::module_& m) {
    m.def("is_urls_module", [](py::object node) { return is_urls_module(node); },
          py::arg("module_node"));
    m.def("is_misusing_reverse_lazy", [](py::object node) { return is_misusing_reverse_lazy(node); },
          py::arg("call_node"));
}

}  // namespace korvane::urls

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

// The callees that keep their arguments for later, and that a function may call while
// the URL configuration is still being imported: what builds a view (as_view), a view
// decorator (login_required, permission_required, user_passes_test) or a URL pattern
// (path, re_path, url), even inside a function (get_urls, a decorator factory).
constexpr const char* kLazyCallees[] = {"as_view",          "login_required", "permission_required",
                                        "user_passes_test", "path",           "re_path",
                                        "url"};

// Whether `call` is a call of one of kLazyCallees, by the name it is called under.
bool is_lazy_call(py::handle call) {
    if (!korvane::isinstance(call, KORVANE_IMPORTED("astroid", "Call"))) return false;
    py::object func = call.attr(KORVANE_NAME("func"));
    py::object name = getattr_or_null(func, KORVANE_NAME("attrname"));
    if (!name) name = getattr_or_null(func, KORVANE_NAME("name"));
    if (!name) return false;
    for (const char* callee : kLazyCallees)
        if (korvane::is_text(name, callee)) return true;
    return false;
}

// Whether `child` is an argument (not the callee) of a call to one of kLazyCallees.
bool is_lazy_argument(py::handle parent, py::handle child) {
    if (!is_lazy_call(parent)) return false;
    return parent.attr(KORVANE_NAME("func")).ptr() != child.ptr();
}

// Whether the name `use` is handed to one of kLazyCallees: as an argument, or as the
// value of a keyword argument.
bool handed_to_lazy_call(py::handle use) {
    py::object child = py::reinterpret_borrow<py::object>(use);
    py::object parent = use.attr(KORVANE_NAME("parent"));
    if (korvane::isinstance(parent, KORVANE_IMPORTED("astroid", "Keyword"))) {
        child = parent;
        parent = parent.attr(KORVANE_NAME("parent"));
    }
    return is_lazy_argument(parent, child);
}

// Whether the lazy value `call` is assigned to a name that the function `fn` hands to
// one of kLazyCallees (`login_url = reverse_lazy(...)`, then
// `user_passes_test(check, login_url=login_url)`).
bool handed_on_through_name(py::handle fn, py::handle call) {
    py::object assign = call.attr(KORVANE_NAME("parent"));
    if (!korvane::isinstance(assign, KORVANE_IMPORTED("astroid", "Assign")) ||
        assign.attr(KORVANE_NAME("value")).ptr() != call.ptr())
        return false;
    py::set names;
    for (py::handle target : assign.attr(KORVANE_NAME("targets")))
        if (korvane::isinstance(target, KORVANE_IMPORTED("astroid", "AssignName")))
            names.add(target.attr(KORVANE_NAME("name")));
    if (names.empty()) return false;
    for (py::handle use : fn.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Name")))
        if (names.contains(use.attr(KORVANE_NAME("name"))) && handed_to_lazy_call(use)) return true;
    return false;
}

// Whether a function runs where what it builds is defined, at import time: it returns
// a function it defines (a decorator factory) or what one of kLazyCallees builds
// (`return user_passes_test(check, login_url=login_url)`).
bool builds_at_import_time(py::handle fn) {
    py::handle function_cls = KORVANE_IMPORTED("astroid", "FunctionDef");
    if (!korvane::isinstance(fn, function_cls)) return false;
    py::set nested;
    for (py::handle statement : fn.attr(KORVANE_NAME("body")))
        if (korvane::isinstance(statement, function_cls)) nested.add(statement.attr(KORVANE_NAME("name")));
    for (py::handle ret : fn.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Return"),
                                                                  py::arg("skip_klass") = function_cls)) {
        py::object value = ret.attr(KORVANE_NAME("value"));
        if (is_lazy_call(value)) return true;
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
        // A URL pattern, a view's configuration or a view decorator keeps the lazy text
        // for when the URL configuration is complete, handed to it directly or through a
        // name, and the body of a decorator factory or of a function that returns what
        // such a callee builds runs at import time: there the lazy form is needed.
        py::handle lambda_cls = KORVANE_IMPORTED("astroid", "Lambda");  // FunctionDef too
        py::handle module_cls = KORVANE_IMPORTED("astroid", "Module");
        py::object child = py::reinterpret_borrow<py::object>(call_node);
        py::object parent = call_node.attr(KORVANE_NAME("parent"));
        while (!parent.is_none()) {
            if (is_lazy_argument(parent, child)) return py::bool_(false);
            if (korvane::isinstance(parent, lambda_cls) && in_body(parent, child))
                return py::bool_(!builds_at_import_time(parent) && !handed_on_through_name(parent, call_node));
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

// The URL checker plug-in: repeated URL names and misused lazy reversal; a table of
// its messages and named methods.
#include "urls.hpp"

namespace korvane::urls {

namespace {

py::object reduce(py::handle node) {
    return state().helpers.attr(KORVANE_NAME("astroid_node_to_value"))(node);
}

// Text form of a name value inside a pattern key: a text unchanged, a node as its
// source text, anything else (a list of converted values) as `str()` gives it.
py::str key_text(py::handle value) {
    if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    if (korvane::isinstance(value, KORVANE_IMPORTED("astroid", "NodeNG")))
        return py::str(value.attr(KORVANE_NAME("as_string"))());
    return py::str(value);
}

// The key of a pattern: its name's text, ":", and the class names of its route's
// converters, each quoted, in route order: `x:['IntConverter']`.  Built as Python
// text, so a name holding any text (a lone surrogate too) makes a key.
py::str pattern_key(py::handle name, py::handle converters) {
    py::list quoted;
    py::str quote("'");
    for (py::handle converter : converters) {
        py::object class_name = py::type::handle_of(converter).attr(KORVANE_NAME("__name__"));
        quoted.append(korvane::concat(korvane::concat(quote, class_name), quote));
    }
    py::str head = korvane::concat(key_text(name), py::str(":["));
    return korvane::concat(korvane::concat(head, korvane::join(", ", quoted)), py::str("]"));
}

// The route of a URL pattern call: its first positional argument, else the last
// `route` or `regex` keyword; a null object when there is none.
py::object route_of(py::handle call) {
    py::object args = call.attr(KORVANE_NAME("args"));
    if (!args.is_none() && py::len(args) > 0) return reduce(args[py::int_(0)]);
    py::object route_node;
    for (py::handle keyword : call.attr(KORVANE_NAME("keywords"))) {
        py::object arg = keyword.attr(KORVANE_NAME("arg"));
        if (korvane::is_text(arg, "route") || korvane::is_text(arg, "regex"))
            route_node = keyword.attr(KORVANE_NAME("value"));
    }
    if (!route_node) return py::object();
    return reduce(route_node);
}

void check_url_unique(py::object self, py::object node) {
    py::object func = node.attr(KORVANE_NAME("func"));
    if (!korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Name"))) return;
    py::object callee = func.attr(KORVANE_NAME("name"));
    if (!korvane::is_text(callee, "path") && !korvane::is_text(callee, "re_path") &&
        !korvane::is_text(callee, "url"))
        return;
    py::object keywords = node.attr(KORVANE_NAME("keywords"));
    if (keywords.is_none() || py::len(keywords) == 0) return;
    for (py::handle keyword : keywords) {
        if (!korvane::is_text(keyword.attr(KORVANE_NAME("arg")), "name")) continue;
        py::object name = reduce(keyword.attr(KORVANE_NAME("value")));
        if (name.is_none()) continue;
        py::object route = route_of(node);
        if (!route || !py::isinstance<py::str>(route)) continue;
        py::object converted;
        try {
            converted = KORVANE_IMPORTED("django.urls.resolvers", "_route_to_regex")(route);
        } catch (py::error_already_set& e) {
            if (e.matches(KORVANE_IMPORTED("django.urls.resolvers", "ImproperlyConfigured")))
                return;
            throw;
        }
        py::str key_obj =
            pattern_key(name, converted[py::int_(1)].attr(KORVANE_NAME("values"))());
        py::object seen = self.attr(KORVANE_NAME("urls"));
        int known = PySequence_Contains(seen.ptr(), key_obj.ptr());
        if (known < 0) throw py::error_already_set();
        if (known) {
            py::dict args;
            args["name"] = name;
            self.attr(KORVANE_NAME("add_message"))("C6001", py::arg("node") = node,
                                                    py::arg("args") = args);
        } else {
            if (PySet_Add(seen.ptr(), key_obj.ptr()) < 0) throw py::error_already_set();
        }
    }
}

void visit_module(py::object self, py::object) { self.attr(KORVANE_NAME("urls")) = py::set(); }

void visit_call(py::object self, py::object node) {
    if (is_urls_module(node.attr(KORVANE_NAME("root"))())) check_url_unique(self, node);
    if (!truthy(is_misusing_reverse_lazy(node))) return;
    py::object text = node.attr(KORVANE_NAME("as_string"))();
    py::dict args;
    args["signature"] = text.attr(KORVANE_NAME("replace"))("reverse_lazy", "");
    self.attr(KORVANE_NAME("add_message"))("C6002", py::arg("node") = node,
                                            py::arg("args") = args);
}

}  // namespace

void register_checker(py::module_& m) {
    // Django's route conversion decides the converters of a URL route: resolved when
    // the module loads, so that a missing Django fails the import, not a check.
    (void)KORVANE_IMPORTED("django.urls.resolvers", "_route_to_regex");
    (void)KORVANE_IMPORTED("django.urls.resolvers", "ImproperlyConfigured");
    py::object cls = make_checker_class(
        m, "urls", nullptr,
        {{"C6001", "non-unique-url-name", "Non unique URL name"},
         {"C6002", "reverse-lazy-misuse", "Using reverse_lazy when reverse would be better"}});
    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "check_url_unique", &check_url_unique);
    def_method(cls, "visit_call", &visit_call);
}

}  // namespace korvane::urls

// The transformer's fix table: which fix runs on which node class under which
// predicate.  Not driven by findings: every checker row is registered on each call;
// a settings row only when its code is not in `noise`.
#include "transformer.hpp"

namespace korvane::transformer {

namespace {

using ModuleMember = py::object State::*;

// A fix of a checker module.  `part` names the attribute of the visited node that the
// predicate is asked about; null when the predicate takes the node itself.
struct CheckerRow {
    const char* code;        // the finding the fix answers
    const char* node_class;  // attribute of astroid
    ModuleMember module;
    const char* fix;
    const char* predicate;
    const char* part;
};

// Registration order: the visitor offers a node to its class's rows in this order, each
// row seeing the node as the rows before it left it.
const CheckerRow kCheckerRows[] = {
    {"C8001", "Call", &State::migrations, "add_reverse_code", "is_missing_reverse", nullptr},
    {"C2000", "Call", &State::colspecs, "transform_null_to_default_str", "is_null_stringfield", nullptr},
    {"C2002", "Call", &State::colspecs, "transform_redundant_kwargs", "has_redundant_kwargs", nullptr},
    {"C2003", "Call", &State::colspecs, "transform_add_blank_true", "is_missing_blank_true", nullptr},
    {"C2006", "Call", &State::colspecs, "transform_huge_char_field", "is_huge_char_field", nullptr},
    {"C2008", "Call", &State::colspecs, "transform_nullboolean", "is_nullboolean", nullptr},
    {"C9000", "Call", &State::ormcalls, "transform_queryset_length", "is_queryset_length", nullptr},
    {"C9002", "Compare", &State::ormcalls, "transform_queryset_exists_compare",
     "is_inefficient_queryset_exists", nullptr},
    {"C9003", "UnaryOp", &State::ormcalls, "transform_queryset_exists_naked_unaryop", "is_queryset",
     "operand"},
    {"C9002", "UnaryOp", &State::ormcalls, "transform_queryset_exists_count_unaryop", "is_queryset_count",
     "operand"},
    {"C9003", "If", &State::ormcalls, "transform_queryset_exists_naked_if", "is_queryset", "test"},
    {"C9002", "If", &State::ormcalls, "transform_queryset_exists_count_if", "is_queryset_count", "test"},
    {"C9001", "Attribute", &State::ormcalls, "transform_indirect_fk_lookup", "is_indirect_fk_lookup",
     nullptr},
    {"C6002", "Call", &State::urls, "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy",
     nullptr},
};

// A settings fix on the module node, registered unless its code is in `noise`.
struct SettingsRow {
    const char* code;  // attribute of the settings checker's Codes
    const char* fix;
    const char* predicate;
};

const SettingsRow kSettingsRows[] = {
    {"C4007", "add_security_middlware", "is_missing_security_middleware"},
    {"C4008", "add_xframe_middlware", "is_missing_xframe_middleware"},
    {"C4009", "add_csrf_middlware", "is_missing_csrf_middleware"},
    {"C4010", "add_hsts_seconds", "is_missing_secure_hsts_seconds"},
    {"C4011", "add_hsts_subdomains", "is_missing_secure_hsts_subdomains"},
    {"C4012", "add_secure_content_type_nosniff", "is_missing_secure_content_type_nosniff"},
    {"C4013", "add_secure_ssl_redirect", "is_missing_secure_ssl_redirect"},
    {"C4014", "add_session_cookie_secure", "is_missing_session_cookie_secure"},
    {"C4015", "remove_session_cookie_http_only", "is_session_cookie_http_only_insecure"},
    {"C4016", "add_csrf_cookie_secure", "is_missing_csrf_cookie_secure"},
    {"C4017", "add_hsts_preload", "is_missing_secure_hsts_preload"},
};

// A predicate asked about one attribute of the visited node (`node.test`,
// `node.operand`), answering what `predicate` answers.
py::object part_predicate(py::object predicate, const char* part) {
    py::str name(part);
    return py::cpp_function(
        [predicate, name](py::object node) { return predicate(node.attr(name)); },
        py::name("predicate"), py::arg("node"));
}

// Whether the lint of the text reported `code` on the node's lines or on the first line
// of its statement: a finding silenced by a pragma, or never raised, gets no fix.
bool was_reported(py::handle reported, const char* code, py::handle node) try {
    PyObject* found = PyDict_GetItemString(reported.ptr(), code);
    if (!found) return false;
    py::object first = node.attr("fromlineno");
    py::object last = node.attr("tolineno");
    py::object statement_line = node.attr("statement")().attr("fromlineno");
    for (py::handle line : py::reinterpret_borrow<py::object>(found)) {
        if (korvane::equals(line, statement_line)) return true;
        if (PyObject_RichCompareBool(line.ptr(), first.ptr(), Py_GE) == 1 &&
            PyObject_RichCompareBool(line.ptr(), last.ptr(), Py_LE) == 1)
            return true;
        korvane::clear_ordinary_error();  // a node without line numbers compares with nothing
    }
    return false;
} catch (py::error_already_set& e) {
    // a node built by a fix without position or parent: no finding names it
    if (!korvane::is_ordinary(e)) throw;
    return false;
}

// The row's predicate, asked only about nodes whose finding the lint reported.  Each
// node it lets the fix run on is noted in `hits` (when given) with the row's code.
py::object reported_predicate(py::object predicate, const char* code, py::object reported,
                              py::object hits) {
    return py::cpp_function(
        [predicate, code, reported, hits](py::object node) -> py::object {
            if (!was_reported(reported, code, node)) return py::bool_(false);
            py::object answer = predicate(node);
            if (!hits.is_none() && korvane::truthy(answer)) hits.attr("append")(py::make_tuple(code, node));
            return answer;
        },
        py::name("predicate"), py::arg("node"));
}

// A settings predicate asked about the visited module with the call's settings module.
py::object settings_predicate(py::object predicate, py::object settings_modpath) {
    return py::cpp_function(
        [predicate, settings_modpath](py::object node) {
            return predicate(py::arg("module_node") = node,
                             py::arg("settings_modpath") = settings_modpath);
        },
        py::name("predicate"), py::arg("node"));
}

}  // namespace

py::frozenset fixed_settings_codes() {
    py::set codes;
    for (const SettingsRow& row : kSettingsRows) codes.add(py::str(row.code));
    return py::frozenset(codes);
}

py::frozenset fixed_codes() {
    py::set codes;
    for (const CheckerRow& row : kCheckerRows) codes.add(py::str(row.code));
    for (const SettingsRow& row : kSettingsRows) codes.add(py::str(row.code));
    return py::frozenset(codes);
}

void register_fix_table(py::handle visitor, py::handle noise, py::handle settings_modpath,
                        py::handle reported, py::handle hits) {
    py::object hit_list = py::reinterpret_borrow<py::object>(hits);
    State& s = state();
    py::object astroid = py::module_::import("astroid");
    py::object register_transform = visitor.attr("register_transform");
    for (const CheckerRow& row : kCheckerRows) {
        py::object module = s.*row.module;
        py::object predicate = module.attr(row.predicate);
        if (row.part) predicate = part_predicate(predicate, row.part);
        predicate = reported_predicate(predicate, row.code,
                                       py::reinterpret_borrow<py::object>(reported), hit_list);
        register_transform(astroid.attr(row.node_class), module.attr(row.fix), predicate);
    }
    py::object module_class = astroid.attr("Module");
    for (const SettingsRow& row : kSettingsRows) {
        py::object code = s.settings.attr("Codes").attr(row.code);
        if (korvane::contains(noise, code)) continue;
        py::object predicate = settings_predicate(
            s.settings.attr(row.predicate), py::reinterpret_borrow<py::object>(settings_modpath));
        register_transform(module_class, s.settings.attr(row.fix),
                           reported_predicate(predicate, row.code,
                                              py::reinterpret_borrow<py::object>(reported), hit_list));
    }
}

}  // namespace korvane::transformer

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
    const char* node_class;  // attribute of astroid
    ModuleMember module;
    const char* fix;
    const char* predicate;
    const char* part;
};

// Registration order: the visitor offers a node to its class's rows in this order, each
// row seeing the node as the rows before it left it.
const CheckerRow kCheckerRows[] = {
    {"Call", &State::migrations, "add_reverse_code", "is_missing_reverse", nullptr},
    {"Call", &State::colspecs, "transform_null_to_default_str", "is_null_stringfield", nullptr},
    {"Call", &State::colspecs, "transform_redundant_kwargs", "has_redundant_kwargs", nullptr},
    {"Call", &State::colspecs, "transform_add_blank_true", "is_missing_blank_true", nullptr},
    {"Call", &State::colspecs, "transform_huge_char_field", "is_huge_char_field", nullptr},
    {"Call", &State::colspecs, "transform_nullboolean", "is_nullboolean", nullptr},
    {"Call", &State::ormcalls, "transform_queryset_length", "is_queryset_length", nullptr},
    {"Compare", &State::ormcalls, "transform_queryset_exists_compare",
     "is_inefficient_queryset_exists", nullptr},
    {"UnaryOp", &State::ormcalls, "transform_queryset_exists_naked_unaryop", "is_queryset",
     "operand"},
    {"UnaryOp", &State::ormcalls, "transform_queryset_exists_count_unaryop", "is_queryset_count",
     "operand"},
    {"If", &State::ormcalls, "transform_queryset_exists_naked_if", "is_queryset", "test"},
    {"If", &State::ormcalls, "transform_queryset_exists_count_if", "is_queryset_count", "test"},
    {"Attribute", &State::ormcalls, "transform_indirect_fk_lookup", "is_indirect_fk_lookup",
     nullptr},
    {"Call", &State::urls, "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy",
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

void register_fix_table(py::handle visitor, py::handle noise, py::handle settings_modpath) {
    State& s = state();
    py::object astroid = py::module_::import("astroid");
    py::object register_transform = visitor.attr("register_transform");
    for (const CheckerRow& row : kCheckerRows) {
        py::object module = s.*row.module;
        py::object predicate = module.attr(row.predicate);
        if (row.part) predicate = part_predicate(predicate, row.part);
        register_transform(astroid.attr(row.node_class), module.attr(row.fix), predicate);
    }
    py::object module_class = astroid.attr("Module");
    for (const SettingsRow& row : kSettingsRows) {
        py::object code = s.settings.attr("Codes").attr(row.code);
        int silenced = PySequence_Contains(noise.ptr(), code.ptr());
        if (silenced < 0) throw py::error_already_set();
        if (silenced) continue;
        register_transform(module_class, s.settings.attr(row.fix),
                           settings_predicate(s.settings.attr(row.predicate),
                                              py::reinterpret_borrow<py::object>(settings_modpath)));
    }
}

}  // namespace korvane::transformer

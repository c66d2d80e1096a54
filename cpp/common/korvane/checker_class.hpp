// Building a pylint checker plug-in class: a Python subclass of pylint's BaseChecker
// implementing IAstroidChecker, with its `name`, its `msgs` table (every template an
// empty `helpers.context_string`, so a finding's message is its context mapping) and
// its integer options.  The visit methods are attached by the caller.
#pragma once

#include <korvane/common.hpp>

#include <initializer_list>

namespace korvane {

// One row of a checker's `msgs`: code -> (template, symbol, description).
struct MessageRow {
    const char* code;
    const char* symbol;
    const char* description;
};

// One integer option declaration: (name, {default, type, metavar, help}).
struct IntOption {
    const char* name;
    int default_value;
    const char* help;
};

// The module's `Codes` class: one attribute per message code of the table, each
// holding its own name as text, in table order.
inline py::object make_codes(py::module_& m, std::initializer_list<MessageRow> rows) {
    py::dict ns;
    for (const MessageRow& row : rows) ns[py::str(row.code)] = py::str(row.code);
    return make_class(m, "Codes", py::tuple(), ns);
}

// A checker's `msgs` mapping: every template an empty `helpers.context_string`, so
// that a finding's message is its context mapping.
inline py::dict make_msgs(std::initializer_list<MessageRow> rows) {
    py::object context_string =
        import_attr("korvane.staticanalysis.helpers", "context_string");
    py::dict msgs;
    for (const MessageRow& row : rows)
        msgs[py::str(row.code)] = py::make_tuple(context_string(), row.symbol, row.description);
    return msgs;
}

// The module's `Checker` class, and its `Codes` from the same table.
inline py::object make_checker_class(py::module_& m, const char* checker_name, const char* doc,
                                     std::initializer_list<MessageRow> rows,
                                     std::initializer_list<IntOption> options = {}) {
    py::dict msgs = make_msgs(rows);
    py::dict ns;
    if (doc) ns["__doc__"] = doc;
    ns["__implements__"] = py::make_tuple(import_attr("pylint.interfaces", "IAstroidChecker"));
    ns["name"] = checker_name;
    ns["msgs"] = msgs;
    if (options.size()) {
        py::list declarations;
        for (const IntOption& option : options) {
            py::dict spec;
            spec["default"] = option.default_value;
            spec["type"] = "int";
            spec["metavar"] = "<int>";
            spec["help"] = option.help;
            declarations.append(py::make_tuple(option.name, spec));
        }
        ns["options"] = py::tuple(declarations);
    }
    make_codes(m, rows);
    return make_class(m, "Checker", py::make_tuple(import_attr("pylint.checkers", "BaseChecker")),
                      ns);
}

}  // namespace korvane

// The fix factories of the checker modules: which fixes a collection of requested
// message codes brings, and in which order.  Each module describes its fixes in one
// table of rows; a requested code brings every row of its code, in table order, once
// for each time it is requested.
#pragma once

#include <korvane/common.hpp>

#include <cstddef>
#include <cstring>
#include <string>

namespace korvane {

// How a requested code is compared with a code of the table.
using CodeEquality = bool (*)(py::handle, py::handle);

// The codes as a list in text order, so that the fixes come out in code order whatever
// order the codes were given in.
inline py::list sorted_codes(py::handle message_ids) {
    py::list codes = py::reinterpret_steal<py::list>(PySequence_List(message_ids.ptr()));
    if (!codes) throw py::error_already_set();
    codes.attr("sort")();
    return codes;
}

// Calls `apply(row)` for every row whose code (an attribute of `codes`, the module's
// `Codes` class) equals a requested code: for each requested code in the order given,
// the rows in table order.  A requested code is compared once with each run of rows
// sharing a code; an unknown code brings nothing.
template <typename Row, std::size_t N, typename Apply>
void for_each_requested_row(py::handle message_ids, py::handle codes, const Row (&rows)[N],
                            Apply&& apply, CodeEquality equal = equals) {
    for (py::handle message_id : message_ids) {
        const char* compared = nullptr;
        bool matches = false;
        for (const Row& row : rows) {
            if (!compared || std::strcmp(compared, row.code) != 0) {
                compared = row.code;
                matches = equal(message_id, codes.attr(row.code));
            }
            if (matches) apply(row);
        }
    }
}

// A predicate on one field of a node (a unary operation's operand, an `if`'s test).
inline py::object on_field(const char* field, py::object (*test)(py::handle)) {
    std::string name = field;
    return py::cpp_function(
        [name, test](py::object node) { return test(node.attr(name.c_str())); });
}

// The astroid class most fixes apply to, kept from its first use.
inline py::object& astroid_call() { return KORVANE_IMPORTED("astroid", "Call"); }

// One fix on a `helpers.NodeTransformVisitor`: for nodes of the astroid class
// `node_class()`, the module function `fix` under a condition that is the module
// function `predicate`, or, where `field` is set, `field_test` of that field of the
// node.  Module functions are looked up at each registration, so a patched one is seen.
struct FixRow {
    const char* code;
    py::object& (*node_class)();
    const char* fix;
    const char* predicate;
    const char* field = nullptr;
    py::object (*field_test)(py::handle) = nullptr;
};

// Registers on `visitor` the fixes of `rows` that the requested codes bring, in the
// order of `for_each_requested_row`; field conditions are made afresh each time.
template <std::size_t N>
void register_fix_rows(py::handle visitor, py::handle module, py::handle message_ids,
                       const FixRow (&rows)[N], CodeEquality equal = equals) {
    auto add = [&](const FixRow& row) {
        py::object condition =
            row.field ? on_field(row.field, row.field_test) : module.attr(row.predicate);
        visitor.attr("register_transform")(row.node_class(), module.attr(row.fix), condition);
    };
    for_each_requested_row(message_ids, module.attr("Codes"), rows, add, equal);
}

}  // namespace korvane

// Why a fix left its finding's code as it was.  A caller that wants to tell its user
// keeps a list `declined_fixes` on the module tree before it runs the fixes (the
// project fixer does); a fix that declines appends (code, node, reason) to it, where
// the node is the one the fix was given.  Without the list nothing is kept.
#pragma once

#include <korvane/common.hpp>

namespace korvane {

inline void decline_fix(py::handle node, const char* code, py::handle reason) {
    py::object module_node = node.attr(KORVANE_NAME("root"))();
    py::object declined = getattr_or_null(module_node, KORVANE_NAME("declined_fixes"));
    if (declined) declined.attr("append")(py::make_tuple(py::str(code), node, reason));
}

}  // namespace korvane

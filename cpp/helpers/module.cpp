// Module helpers: tree helpers shared by the inference shims, project discovery,
// the lint driver, the checkers and the fix roads.
#include "ancestry_memo.hpp"
#include "helpers.hpp"

#include <korvane/pylint_import.hpp>

namespace korvane::helpers {

KORVANE_MODULE_STATE(State)

}  // namespace korvane::helpers

PYBIND11_MODULE(helpers, m) {
    using namespace korvane::helpers;
    m.doc() = "Django-aware predicates, value extraction, tree edits, token views and "
              "small utilities on astroid trees.";
    korvane::bind_module(state(), m);
    korvane::import_pylint();
    register_predicates(m);
    register_utilities(m);
    register_values(m);
    register_fix_registry(m);
    register_module_paths(m);
    register_token_view(m);
    register_ancestry_memo(m);
}

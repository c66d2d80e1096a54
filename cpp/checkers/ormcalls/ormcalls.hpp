// QuerySet-use checks: shared declarations of the ormcalls translation units.
#pragma once

#include <korvane/checker_class.hpp>
#include <korvane/common.hpp>
#include <korvane/module.hpp>
#include <korvane/text.hpp>
#include <korvane/walk_memo.hpp>

namespace korvane::ormcalls {

struct State : korvane::ModuleState {
    py::object helpers;          // korvane.staticanalysis.helpers
    korvane::WalkMemo walk_memo;  // the answers kept while the checker walks one module
};
State& state();

// pylint's safe_infer of a node; a null object when nothing is inferred.
py::object infer(py::handle node);

// Predicates: None when the node is not of the examined kind, else True/False.
py::object is_queryset_length(py::handle node);
py::object is_queryset_count(py::handle node);
py::object is_queryset(py::handle node);
py::object is_compare_exists(py::handle ops);
py::object is_compare_not_exists(py::handle ops);
py::object is_inefficient_queryset_exists(py::handle node);
py::object is_queryset_length_exists(py::handle node);
py::object is_indirect_fk_lookup(py::handle node);

// None when the node is no bare name, else whether the QuerySet it holds is evaluated
// later in the same function anyway (iterated, indexed, sliced, given to list() or
// tuple()), the name not bound again in between.
py::object is_evaluated_later(py::handle node);

// is_queryset, and False for a QuerySet that is evaluated later anyway: the condition
// of the truth-test finding and of its fixes.
py::object is_queryset_truth_test(py::handle node);

void register_predicates(py::module_& m);
void register_checker(py::module_& m);
void register_fixes(py::module_& m);

}  // namespace korvane::ormcalls

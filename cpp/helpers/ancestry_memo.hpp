// The Django base classes the predicates look for in an ancestry, and the ancestries
// kept for the length of one analysis.
#pragma once

#include "helpers.hpp"

namespace korvane::helpers {

enum class DjangoBase : int { model, queryset, related_field, model_admin, manager, field, migration };

// The qualified name of the Django class.
const py::str& qname_of(DjangoBase base);

// Which Django base classes stand in the mro of the class behind `x` (a class or a
// plain instance of one), one bit per DjangoBase, kept while an analysis is open; -1
// when no analysis is open, when `x` is anything else, or when the mro cannot be
// computed (the caller then asks astroid itself).
long kept_ancestry(py::handle x);

void register_ancestry_memo(py::module_& m);

}  // namespace korvane::helpers

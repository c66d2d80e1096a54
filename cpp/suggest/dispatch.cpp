#include "suggest.hpp"

namespace korvane::suggest {

void register_dispatch(py::module_&) {}

}  // namespace korvane::suggest

#include "suggest.hpp"

namespace korvane::suggest {

void register_format(py::module_&) {}

}  // namespace korvane::suggest

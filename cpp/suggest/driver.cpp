#include "suggest.hpp"

namespace korvane::suggest {

void register_driver(py::module_&) {}

}  // namespace korvane::suggest

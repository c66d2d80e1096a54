#include "suggest.hpp"

namespace korvane::suggest {

void register_python_lines(py::module_&) {}

}  // namespace korvane::suggest

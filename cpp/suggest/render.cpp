#include "suggest.hpp"

namespace korvane::suggest {

void register_render(py::module_&) {}

}  // namespace korvane::suggest

#include "suggest.hpp"

namespace korvane::suggest {

void register_html_lines(py::module_&) {}

}  // namespace korvane::suggest

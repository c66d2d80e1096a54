// Suggestions for a finding line of a Python module: what the parts of
// get_suggestions_for_python share.
#pragma once

#include "suggest.hpp"

namespace korvane::suggest {

// The disable-pragma answer for the finding on `line` in `node`: one item over the
// statement's lines, with "  # korvane: disable=" and the symbols of the group's
// other codes added where pylint reads it for that line; an empty list where no such
// place exists.  `symbols` maps message codes to symbols.
py::list pragma_suggestions(py::handle atok, py::handle node, py::handle line,
                            py::handle message_ids, py::handle symbols);

// Places the code that fixes created (`imports` and `others`, each formatted and
// joined with blank lines, either possibly empty) into `items`: imports above the
// module's first statement, the rest after its last token.  Each goes into the item
// that already replaces that line, or else into an item of its own, so none is lost.
void place_created_code(py::list& items, py::handle atok, py::str imports, py::str others);

}  // namespace korvane::suggest

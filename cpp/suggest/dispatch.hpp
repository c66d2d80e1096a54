// Fixing one statement: what the suggestion driver needs of it to keep a module's
// shared tree holding exactly the fixes of the suggestions it posted.
#pragma once

#include "suggest.hpp"

namespace korvane::suggest {

// Whether the fixes run since the last `forget_tree_changes` on this token view
// changed its tree: a statement's rendering, an edited other statement, a created one.
bool tree_changed_by_fixes(py::handle atok);
void forget_tree_changes(py::handle atok);

// Runs the fixes of one group (its finding line and codes) on a token view again, as
// answering the group did, without rendering anything: for a view rebuilt from the
// same text, so that it holds the edits of the groups whose suggestions were posted.
void replay_fixes(py::handle atok, py::handle line, py::handle message_ids,
                  py::handle settings_modpath);

}  // namespace korvane::suggest

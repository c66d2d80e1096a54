// Fixing one statement: every checker module whose fixable codes meet the group's
// codes runs its fix visitor over it, and the statement's new text comes back, the
// file's own text with only what the fixes changed edited, when its rendering changed.
#include "dispatch.hpp"

namespace korvane::suggest {

namespace {

// A checker module whose fixes edit the statement: the `constants` set of the codes
// it fixes, and the sibling whose `build_transformer_visitor` makes its fix visitor.
struct StatementFixes {
    const char* rules;
    py::object State::*module;
};

// In the order in which they run; each sees the edits of the ones before it.
constexpr StatementFixes kStatementFixes[] = {
    {"TRANSFORMABLE_MODEL_FIELD_RULES", &State::colspecs},
    {"TRANSFORMABLE_URL_RULES", &State::urls},
    {"TRANSFORMABLE_MIGRATION_RULES", &State::migrations},
    {"TRANSFORMABLE_QUERYSET_RULES", &State::ormcalls},
};

// The settings codes whose fix removes the statement: the settings module answers
// for the statement's lines itself.
constexpr const char* kRemovalCodes[] = {"C4005", "C4015"};

// Whether the group's codes meet the `constants` set of that name.
bool meets(py::handle message_ids, const char* rules) {
    py::object set = state().constants.attr(rules);
    return korvane::truthy(message_ids.attr("intersection")(set));
}

py::object line_of(py::handle token, const char* end) {
    return token.attr(end)[py::int_(0)];
}

// The token view's mark that fixes changed its tree.
constexpr const char* kChangedMark = "fixes_changed_tree";

// Whether the fixes left statements on the module's side channels: edited other
// statements or created ones.
bool collected_statements(py::handle tree) {
    for (const char* channel : {"replace_other_nodes", "new_nodes"}) {
        py::object nodes = getattr_or_null(tree, py::str(channel));
        if (nodes && korvane::truthy(nodes)) return true;
    }
    return false;
}

// Runs every checker module's fixes whose codes meet the group's on the statement, the
// settings fixes on its whole module.  True when the group asks for a removal, which
// the settings module answers itself; its fixes do not run then.
bool run_fixes(py::handle atok, py::handle node, py::handle message_ids,
               py::handle settings_modpath) {
    State& s = state();
    // The tree as read, before the first fix of any group touches it: every
    // suggestion edits the file's own text, so each carries the edits of all groups
    // so far over the lines it replaces.
    if (!getattr_or_null(atok, KORVANE_NAME("original_tree"))) s.module.attr("record_tree")(atok);
    for (const StatementFixes& fixes : kStatementFixes) {
        if (!meets(message_ids, fixes.rules)) continue;
        (s.*fixes.module).attr("build_transformer_visitor")(message_ids).attr("visit")(node);
    }
    if (!meets(message_ids, "TRANSFORMABLE_SETTINGS_RULES")) return false;
    if (contains_any(message_ids, kRemovalCodes)) return true;
    // The settings fixes see the whole module, not only the statement.
    py::object visitor = s.settings.attr("build_transformer_visitor")(
        py::arg("message_ids") = message_ids, py::arg("settings_modpath") = settings_modpath);
    visitor.attr("visit")(node.attr("root")());
    return false;
}

py::object get_suggestion_for_python(py::object atok, py::object node, py::object message_ids,
                                     py::object settings_modpath) {
    State& s = state();
    py::object start = line_of(node.attr(KORVANE_NAME("first_token")), "start");
    // The line where the last token ends: a statement that ends in a string spanning
    // lines is replaced as a whole, not up to the line where the string begins.
    py::object end = line_of(node.attr(KORVANE_NAME("last_token")), "end");
    py::object before = node.attr("as_string")();
    bool removal = run_fixes(atok, node, message_ids, settings_modpath);
    bool changed = !korvane::equals(node.attr("as_string")(), before);
    if (changed || collected_statements(node.attr("root")()))
        atok.attr(kChangedMark) = py::bool_(true);
    if (removal) {
        return s.settings.attr("remove_node")(py::arg("atok") = atok, py::arg("node") = node,
                                              py::arg("start") = start, py::arg("end") = end);
    }
    if (!changed) return py::make_tuple(py::none(), py::none(), py::none());
    py::object code;
    try {
        code = s.module.attr("edited_text")(py::arg("atok") = atok, py::arg("node") = node);
    } catch (py::error_already_set& e) {
        // A fix that leaves no place for a comment gets no suggestion: applied, it
        // would drop the comment.
        if (!e.matches(s.module.attr("LostCommentError"))) throw;
        s.logger.attr("error")(e.value());
        return py::make_tuple(py::none(), py::none(), py::none());
    }
    return py::make_tuple(start, end, code);
}

}  // namespace

bool tree_changed_by_fixes(py::handle atok) {
    py::object mark = getattr_or_null(atok, py::str(kChangedMark));
    return mark && korvane::truthy(mark);
}

void forget_tree_changes(py::handle atok) { atok.attr(kChangedMark) = py::bool_(false); }

void replay_fixes(py::handle atok, py::handle line, py::handle message_ids,
                  py::handle settings_modpath) {
    State& s = state();
    py::object tree = atok.attr(KORVANE_NAME("tree"));
    py::object node = s.helpers.attr("find_node_by_position")(tree, py::arg("line") = line);
    // the side channels as answering the group had them
    tree.attr(KORVANE_NAME("new_nodes")) = py::list();
    tree.attr(KORVANE_NAME("replace_other_nodes")) = py::list();
    if (node.is_none() || contains(message_ids, s.constants.attr("SKIP_LINE_ID"))) return;
    run_fixes(atok, node, message_ids, settings_modpath);
}

void register_dispatch(py::module_& m) {
    m.def("get_suggestion_for_python", &get_suggestion_for_python, py::arg("atok"),
          py::arg("node"), py::arg("message_ids"), py::arg("settings_modpath"),
          "Runs the checker modules' fixes for the group's codes on one statement: "
          "(first line, last line, new text) when its rendering changed, else "
          "(None, None, None).");
}

}  // namespace korvane::suggest

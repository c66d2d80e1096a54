// Fixing one statement: every checker module whose fixable codes meet the group's
// codes runs its fix visitor over it, and the statement's new text comes back, the
// file's own text with only what the fixes changed edited, when its rendering changed.
#include "suggest.hpp"

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

py::object get_suggestion_for_python(py::object atok, py::object node, py::object message_ids,
                                     py::object settings_modpath) {
    State& s = state();
    py::object start = line_of(node.attr(KORVANE_NAME("first_token")), "start");
    // The line where the last token ends: a statement that ends in a string spanning
    // lines is replaced as a whole, not up to the line where the string begins.
    py::object end = line_of(node.attr(KORVANE_NAME("last_token")), "end");
    // The tree as read, before the first fix of any group touches it: every
    // suggestion edits the file's own text, so each carries the edits of all groups
    // so far over the lines it replaces.
    if (!getattr_or_null(atok, KORVANE_NAME("original_tree"))) s.module.attr("record_tree")(atok);
    py::object before = node.attr("as_string")();
    for (const StatementFixes& fixes : kStatementFixes) {
        if (!meets(message_ids, fixes.rules)) continue;
        (s.*fixes.module).attr("build_transformer_visitor")(message_ids).attr("visit")(node);
    }
    if (meets(message_ids, "TRANSFORMABLE_SETTINGS_RULES")) {
        if (contains_any(message_ids, kRemovalCodes)) {
            return s.settings.attr("remove_node")(py::arg("atok") = atok, py::arg("node") = node,
                                                  py::arg("start") = start, py::arg("end") = end);
        }
        // The settings fixes see the whole module, not only the statement.
        py::object visitor = s.settings.attr("build_transformer_visitor")(
            py::arg("message_ids") = message_ids, py::arg("settings_modpath") = settings_modpath);
        visitor.attr("visit")(node.attr("root")());
    }
    if (korvane::equals(node.attr("as_string")(), before))
        return py::make_tuple(py::none(), py::none(), py::none());
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

void register_dispatch(py::module_& m) {
    m.def("get_suggestion_for_python", &get_suggestion_for_python, py::arg("atok"),
          py::arg("node"), py::arg("message_ids"), py::arg("settings_modpath"),
          "Runs the checker modules' fixes for the group's codes on one statement: "
          "(first line, last line, new text) when its rendering changed, else "
          "(None, None, None).");
}

}  // namespace korvane::suggest

// Placing the code that fixes created: imports above the module's first statement,
// everything else after its last token, merged into an item that already replaces
// that line or else in an item of its own.
#include <korvane/text.hpp>

#include "python_lines.hpp"
#include "token_lines.hpp"

namespace korvane::suggest {

namespace {

// Between created code and the code beside it: one blank line.
const char* const kBlankLine = "\n\n";
// The positions of an item's first line, last line and text.
constexpr int kFirst = 0;
constexpr int kLast = 1;
constexpr int kText = 2;

bool is_empty(py::handle text) {
    return !korvane::truthy(text);
}

// The statement above which created imports go: the module's first statement that is
// not a `from __future__` import, since those must stay first.  The docstring is no
// statement of the tree's body, so imports go below it.  Null when there is none.
py::object import_anchor(py::handle tree) {
    for (py::handle statement : tree.attr(KORVANE_NAME("body"))) {
        bool is_future = korvane::isinstance(statement, KORVANE_IMPORTED("astroid", "ImportFrom")) &&
                         korvane::is_text(statement.attr(KORVANE_NAME("modname")), "__future__");
        if (!is_future) return py::reinterpret_borrow<py::object>(statement);
    }
    return py::object();
}

// The first item whose first (`position` kFirst) or last (kLast) line is `line`;
// null when there is none.
py::object item_at(const py::list& items, int position, long line) {
    for (py::handle item : items) {
        if (as_long(item[py::int_(position)]) == line) return py::reinterpret_borrow<py::object>(item);
    }
    return py::object();
}

py::list make_item(long first, long last, py::handle text) {
    py::list item;
    item.append(first);
    item.append(last);
    item.append(text);
    return item;
}

// Appends `others` to the item that ends on the module's last line; whether one did.
bool merge_at_end(py::list& items, py::handle last_token, py::handle others) {
    py::object item = item_at(items, kLast, end_line(last_token));
    if (!item) return false;
    // One blank line after the code, or only a line break where the module's last line
    // is empty text.
    bool has_line = korvane::truthy(last_token.attr(KORVANE_NAME("line")));
    py::str delimiter(has_line ? kBlankLine : "\n");
    item[py::int_(kText)] =
        korvane::concat(korvane::concat(item[py::int_(kText)], delimiter), others);
    return true;
}

// Puts `imports` in front of the item that starts on the anchor's line; whether one did.
bool merge_at_anchor(py::list& items, py::handle anchor_token, py::handle imports) {
    py::object item = item_at(items, kFirst, start_line(anchor_token));
    if (!item) return false;
    item[py::int_(kText)] =
        korvane::concat(korvane::concat(imports, py::str(kBlankLine)), item[py::int_(kText)]);
    return true;
}

// One item for both kinds when the anchor's lines reach the module's last token: the
// lines from the anchor's to the last token's, imports before and the rest after.
py::list joint_item(py::handle atok, py::handle anchor_token, py::handle last_token,
                    py::handle imports, py::handle others) {
    py::object text = atok.attr(KORVANE_NAME("text"));
    py::object range = py::reinterpret_steal<py::object>(
        PySlice_New(line_start_offset(text, anchor_token).ptr(),
                    line_end_offset(text, last_token).ptr(), nullptr));
    if (!range) throw py::error_already_set();
    py::list parts;
    parts.append(imports);
    parts.append(text[range]);
    parts.append(others);
    return make_item(start_line(anchor_token), end_line(last_token), korvane::join(kBlankLine, parts));
}

// An item of its own over a token's lines: the token's source lines as written, with
// `before` and a blank line in front of them, or a blank line and `after` behind.
py::list item_beside(py::handle token, py::handle before, py::handle after) {
    py::object lines = token.attr(KORVANE_NAME("line"));
    py::str text = is_empty(before) ? korvane::concat(korvane::concat(lines, py::str(kBlankLine)), after)
                                    : korvane::concat(korvane::concat(before, py::str(kBlankLine)), lines);
    return make_item(start_line(token), end_line(token), text);
}

}  // namespace

void place_created_code(py::list& items, py::handle atok, py::str imports, py::str others) {
    py::object tree = atok.attr(KORVANE_NAME("tree"));
    py::object anchor = is_empty(imports) ? py::object() : import_anchor(tree);
    if (!is_empty(imports) && !anchor) {
        // Nothing but `from __future__` imports: the created imports follow them.
        others = is_empty(others) ? imports : korvane::join(kBlankLine, py::make_tuple(imports, others));
        imports = py::str("");
    }
    py::object last_token = tree.attr(KORVANE_NAME("last_token"));
    py::object anchor_token = anchor ? anchor.attr(KORVANE_NAME("first_token")) : py::object();
    bool append = !is_empty(others) && !merge_at_end(items, last_token, others);
    bool prepend = !is_empty(imports) && !merge_at_anchor(items, anchor_token, imports);
    if (append && prepend && end_line(anchor_token) >= start_line(last_token)) {
        items.insert(0, joint_item(atok, anchor_token, last_token, imports, others));
        return;
    }
    if (append) items.append(item_beside(last_token, py::str(""), others));
    if (prepend) items.insert(0, item_beside(anchor_token, imports, py::str("")));
}

}  // namespace korvane::suggest

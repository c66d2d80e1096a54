// The placeholders of a token view: a `print` call for every blank line and
// whole-line comment, placed in the body of the module, class or function that
// `add_node` would put it in when inserting them one by one in line order.
//
// One by one, each insertion searches the tree for the nearest line at or above the
// placeholder's that holds a node, appends to a body and sorts that body again: work
// that grows with the square of the module.  Here the parsed tree is walked once,
// every placeholder's scope is decided from that walk and from the placeholders
// decided before it, and each body that receives placeholders is appended to and
// sorted once at the end.
#include "helpers.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvane::helpers {

namespace {

// The source of a comment's placeholder: one line, a call of `print` with a single
// text argument.  Double quotes become single quotes; backslashes are doubled and
// control and line-separating characters escaped, so that any comment text, one
// ending in a backslash or holding `\N`, `\x` or `\u` included, gives a literal
// that parses on one line.
py::str comment_placeholder_source(py::handle comment) {
    PyObject* text = comment.ptr();
    if (!PyUnicode_Check(text) || PyUnicode_READY(text) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "comment text expected");
        throw py::error_already_set();
    }
    std::u32string out = U"print(\"";
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        char32_t ch = PyUnicode_READ(kind, data, i);
        if (ch == U'"') {
            out += U'\'';
        } else if (ch == U'\\') {
            out += U"\\\\";
        } else if (ch < 0x20 || ch == 0x7f || ch == 0x85 || ch == 0x2028 || ch == 0x2029 ||
                   (ch >= 0xd800 && ch <= 0xdfff)) {
            static const char32_t hex[] = U"0123456789abcdef";
            out += U"\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(ch >> shift) & 0xf];
        } else {
            out += ch;
        }
    }
    out += U"\")";
    PyObject* result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                 static_cast<Py_ssize_t>(out.size()));
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

// A line number held by an attribute, when it is an int that fits.
bool as_line(py::handle value, long long& out) {
    if (!PyLong_Check(value.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow == 0;
}

// The line a node answers to in the library's statement search
// (`_find_statement_by_line`): the first line of a class or function definition (its
// decorators included), else its `lineno`.
bool search_line(py::handle node, long long& out) {
    static py::object& definitions = keep(py::make_tuple(
        KORVANE_IMPORTED("astroid.nodes", "ClassDef"), KORVANE_IMPORTED("astroid.nodes", "FunctionDef"),
        KORVANE_IMPORTED("astroid.nodes", "MatchCase")));
    if (korvane::isinstance(node, definitions)) {
        return as_line(node.attr(KORVANE_NAME("fromlineno")), out);
    }
    return as_line(node.attr(KORVANE_NAME("lineno")), out);
}

// Decides the scope of each placeholder, in increasing line order, as one-by-one
// insertion would: the scope of the first node, in the depth-first order of the tree
// as it stands (children in order, earlier placeholders included), on the
// placeholder's line or the nearest line above that holds one; line 0 is the module.
//
// The parsed nodes never move, so the first parsed node of each line is read from one
// walk of the parsed tree.  A line that holds an earlier placeholder answers with
// that placeholder's scope: when a parsed node shares its line, the placeholder took
// its scope from that very node, so which of the two the search meets first does not
// matter.  The inner nodes of a placeholder (the name and the text) keep line 1, but
// the search only gets down to line 1 when no earlier placeholder lies below it, and
// it meets a placeholder of line 1 itself before its inner nodes.  The search for a
// placeholder stops at the line of the one before it at the latest, so the searches
// of a whole module cover each line about once.
class PlaceholderPlan {
public:
    explicit PlaceholderPlan(py::handle tree) : tree_(py::reinterpret_borrow<py::object>(tree)) {
        index_lines();
    }

    // Records a placeholder for `line`, greater than every line recorded before.  The
    // mark tells the placeholder from a call that a fix creates on a mapped line.
    void add(py::object node, long long line) {
        py::object scope = scope_for(line);
        node.attr(KORVANE_NAME("lineno")) = py::int_(line);
        node.attr(KORVANE_NAME("non_code_placeholder")) = py::bool_(true);
        placed_[line] = scope.ptr();
        auto slot = slots_.find(scope.ptr());
        if (slot == slots_.end()) {
            slot = slots_.emplace(scope.ptr(), groups_.size()).first;
            groups_.push_back({scope, {}});
        }
        groups_[slot->second].second.push_back(std::move(node));
    }

    // Puts every placeholder into its scope (the library's `_append_node`: appended to
    // `body`, `parent` set) and sorts each of those bodies once by line, a stable sort,
    // so that a placeholder follows the nodes already on its line and the placeholders
    // of one body keep their line order: the body that sorting after every insertion
    // gives.
    void insert() {
        for (auto& [scope, nodes] : groups_) {
            py::object append = scope.attr(KORVANE_NAME("_append_node"));
            for (const py::object& node : nodes) append(node);
            sort_body_by_line(scope);
        }
    }

private:
    // One depth-first walk (children in order, without recursion, so that deep
    // expressions do not exhaust the stack) keeping the first node of every line.
    void index_lines() {
        std::vector<py::object> pending;  // iterators over the children of the open nodes
        auto enter = [&](py::object node) {
            long long line = 0;
            if (search_line(node, line)) first_on_line_.emplace(line, node.ptr());
            pending.push_back(iter_of(node.attr(KORVANE_NAME("get_children"))()));
            kept_.push_back(std::move(node));
        };
        enter(tree_);
        while (!pending.empty()) {
            if (PyObject* child = PyIter_Next(pending.back().ptr())) {
                enter(py::reinterpret_steal<py::object>(child));
                continue;
            }
            if (PyErr_Occurred()) throw py::error_already_set();
            pending.pop_back();
        }
    }

    py::object scope_for(long long line) {
        for (; line > 0; --line) {
            auto parsed = first_on_line_.find(line);
            if (parsed != first_on_line_.end()) {
                return py::handle(parsed->second)
                    .attr(KORVANE_NAME("statement"))()
                    .attr(KORVANE_NAME("scope"))();
            }
            auto placed = placed_.find(line);
            if (placed != placed_.end()) return py::reinterpret_borrow<py::object>(placed->second);
        }
        return tree_;
    }

    py::object tree_;
    std::vector<py::object> kept_;  // the parsed nodes indexed, alive while indexed
    std::unordered_map<long long, PyObject*> first_on_line_;
    std::unordered_map<long long, PyObject*> placed_;  // line to the scope it joined
    std::unordered_map<PyObject*, size_t> slots_;      // scope to its entry in groups_
    std::vector<std::pair<py::object, std::vector<py::object>>> groups_;
};

}  // namespace

void add_placeholders(py::handle atok) {
    py::object extra_line_map = atok.attr(KORVANE_NAME("extra_line_map"));
    py::object tok_name = KORVANE_IMPORTED("token", "tok_name");
    py::object extract_node = KORVANE_IMPORTED("astroid", "extract_node");
    py::object is_non_coding = KORVANE_IMPORTED("asttokens.util", "is_non_coding_token");
    PlaceholderPlan plan(atok.attr(KORVANE_NAME("tree")));
    const py::str& type_attr = KORVANE_NAME("type");
    const py::str& line_attr = KORVANE_NAME("line");
    const py::str& start_attr = KORVANE_NAME("start");
    const py::str& string_attr = KORVANE_NAME("string");
    py::str nl("NL"), comment("COMMENT"), line_feed("\n"), empty("");
    py::str blank_placeholder("print(\"\")");

    py::object token_list = atok.attr(KORVANE_NAME("tokens"));
    // The nearest earlier token that is neither a line break nor a comment, as the
    // view's `prev_token` finds it; before the first such token the lookup wraps
    // round to the end marker.
    py::object previous = token_list[py::int_(-1)];
    py::object tokens = iter_of(token_list);
    while (PyObject* raw = PyIter_Next(tokens.ptr())) {
        py::object token = py::reinterpret_steal<py::object>(raw);
        py::object type = token.attr(type_attr);
        py::object type_name = tok_name[type];
        if (type_name.equal(nl) && py::object(token.attr(line_attr)).equal(line_feed)) {
            py::object line = token.attr(start_attr)[py::int_(0)];
            plan.add(extract_node(blank_placeholder), line.cast<long long>());
            extra_line_map[line] = empty;
        }
        if (type_name.equal(comment)) {
            py::object line = token.attr(start_attr)[py::int_(0)];
            // A comment that shares its line with an earlier code token trails it.
            py::object previous_line = previous.attr(start_attr)[py::int_(0)];
            if (!previous_line.equal(line)) {
                py::object text = token.attr(string_attr);
                plan.add(extract_node(comment_placeholder_source(text)), line.cast<long long>());
                extra_line_map[line] = text;
            }
        }
        if (!truthy(is_non_coding(type))) previous = token;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    plan.insert();
}

void prepare_placeholders() {
    for (const char* name : {"ClassDef", "FunctionDef", "MatchCase"}) {
        (void)import_attr("astroid.nodes", name);
    }
    (void)KORVANE_IMPORTED("astroid", "extract_node");
    (void)KORVANE_IMPORTED("token", "tok_name");
    (void)KORVANE_IMPORTED("asttokens.util", "is_non_coding_token");
}

}  // namespace korvane::helpers

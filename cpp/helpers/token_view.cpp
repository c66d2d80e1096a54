// The token view: an astroid tree parsed with the Django inference transforms of a
// fresh registry, joined by asttokens to its tokens, optionally with a placeholder
// call for every blank line and whole-line comment; and the tree searches and the
// insertion step that place those placeholders.
#include "helpers.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane::helpers {

namespace {

py::object find_statement_by_line(py::handle tree, py::handle line) {
    return KORVANE_IMPORTED("astroid.builder", "_find_statement_by_line")(tree, line);
}

// The scope (module, class or function) whose body a node on `line` joins: that of
// the first node found on the line, or on the nearest line above that has one.
py::object find_node_parent(py::object tree, long long line) {
    for (; line >= 0; --line) {
        py::object node = find_statement_by_line(tree, py::int_(line));
        if (!node.is_none()) {
            return node.attr(KORVANE_NAME("statement"))().attr(KORVANE_NAME("scope"))();
        }
    }
    // Only a tree that is not a module (whose line 0 always matches) gets here.
    return tree.attr(KORVANE_NAME("scope"))();
}

py::object find_node_by_position(py::object tree, py::object line) {
    py::object node = find_statement_by_line(tree, line);
    if (!truthy(node)) return py::none();
    return node.attr(KORVANE_NAME("statement"))();
}

void add_node(py::object tree, py::object node, long long line_number) {
    py::object parent = find_node_parent(tree, line_number);
    node.attr(KORVANE_NAME("lineno")) = py::int_(line_number);
    parent.attr(KORVANE_NAME("_append_node"))(node);
    static py::object& by_line =
        keep(py::module_::import("operator").attr("attrgetter")(py::str("lineno")));
    parent.attr(KORVANE_NAME("body")).attr(KORVANE_NAME("sort"))(py::arg("key") = by_line);
}

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

// Parses the source with the view's own transforms: exactly those that
// `shims.register_transforms` puts on a fresh registry.  The text is built without
// transforms through the process-wide manager, then that one tree is visited with
// the view's registry.  The process-wide registry is never replaced, so a library
// module first built meanwhile (while a transform infers into Django) is built and
// cached with the library's own transforms, as it is anywhere else.
py::object parse_with_own_transforms(py::object shims, py::object source, py::object modname,
                                     py::object absolute_path) {
    py::object registry = KORVANE_IMPORTED("astroid.transforms", "TransformVisitor")();
    // What `register_transforms` registers on: the registry, offered with the
    // registration names of a manager.
    py::object view_manager = KORVANE_IMPORTED("types", "SimpleNamespace")(
        py::arg("_transform") = registry,
        py::arg("register_transform") = registry.attr(KORVANE_NAME("register_transform")),
        py::arg("unregister_transform") = registry.attr(KORVANE_NAME("unregister_transform")));
    shims.attr(KORVANE_NAME("register_transforms"))(view_manager);
    py::object builder = KORVANE_IMPORTED("astroid.builder", "AstroidBuilder")(
        py::arg("manager") = import_attr("astroid", "MANAGER"),
        py::arg("apply_transforms") = false);
    py::object tree = builder.attr(KORVANE_NAME("string_build"))(
        source, py::arg("modname") = modname, py::arg("path") = absolute_path);
    return registry.attr(KORVANE_NAME("visit"))(tree);
}

// The line a node answers to in the statement search: the first line of a class or
// function definition (its decorators included), else its `lineno`.
py::object search_line(py::handle node) {
    static py::object& definitions = keep(py::make_tuple(
        KORVANE_IMPORTED("astroid.nodes", "ClassDef"), KORVANE_IMPORTED("astroid.nodes", "FunctionDef"),
        KORVANE_IMPORTED("astroid.nodes", "MatchCase")));
    if (korvane::isinstance(node, definitions)) return node.attr(KORVANE_NAME("fromlineno"));
    return node.attr(KORVANE_NAME("lineno"));
}

// The statement search of the placeholder insertion, answering exactly as
// `_find_statement_by_line` does (the first node in depth-first order, children in
// order, whose line matches), but with the lines of every subtree indexed, so that a
// search only descends into subtrees that hold the line.  Inserting thousands of
// placeholders would otherwise walk the whole tree several times per placeholder.
class LineIndex {
public:
    explicit LineIndex(py::handle tree) : tree_(py::reinterpret_borrow<py::object>(tree)) {
        index(tree_);
    }

    py::object find_statement_by_line(long long line) {
        PyObject* found = find(tree_.ptr(), line);
        if (!found) return py::none();
        return py::reinterpret_borrow<py::object>(found);
    }

    py::object find_node_parent(long long line) {
        for (; line >= 0; --line) {
            py::object node = find_statement_by_line(line);
            if (!node.is_none()) {
                return node.attr(KORVANE_NAME("statement"))().attr(KORVANE_NAME("scope"))();
            }
        }
        return tree_.attr(KORVANE_NAME("scope"))();
    }

    // Inserts as `add_node` does and records the new subtree's lines on its parent
    // and every ancestor up to the tree.
    void add_node(py::object node, long long line_number) {
        py::object parent = find_node_parent(line_number);
        node.attr(KORVANE_NAME("lineno")) = py::int_(line_number);
        parent.attr(KORVANE_NAME("_append_node"))(node);
        static py::object& by_line =
            keep(py::module_::import("operator").attr("attrgetter")(py::str("lineno")));
        parent.attr(KORVANE_NAME("body")).attr(KORVANE_NAME("sort"))(py::arg("key") = by_line);
        const Lines& added = index(node);
        Lines copy = added;
        py::object ancestor = parent;
        const py::str& parent_attr = KORVANE_NAME("parent");
        while (ancestor && !ancestor.is_none()) {
            auto it = lines_.find(ancestor.ptr());
            if (it == lines_.end()) break;
            it->second.insert(copy.begin(), copy.end());
            if (ancestor.ptr() == tree_.ptr()) break;
            ancestor = getattr_or_null(ancestor, parent_attr);
        }
    }

private:
    using Lines = std::unordered_set<long long>;

    struct Entry {
        bool has_line = false;
        long long line = 0;
    };

    static bool as_line(py::handle value, long long& out) {
        if (!PyLong_Check(value.ptr())) return false;
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
        return overflow == 0;
    }

    std::vector<py::object> children(py::handle node) {
        std::vector<py::object> result;
        py::object it = iter_of(node.attr(KORVANE_NAME("get_children"))());
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            result.push_back(py::reinterpret_steal<py::object>(raw));
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return result;
    }

    const Lines& index(py::handle node) {
        Entry entry;
        long long line = 0;
        if (as_line(search_line(node), line)) {
            entry.has_line = true;
            entry.line = line;
        }
        Lines lines;
        if (entry.has_line) lines.insert(entry.line);
        for (const py::object& child : children(node)) {
            const Lines& below = index(child);
            lines.insert(below.begin(), below.end());
        }
        kept_.push_back(py::reinterpret_borrow<py::object>(node));
        entries_[node.ptr()] = entry;
        return lines_[node.ptr()] = std::move(lines);
    }

    PyObject* find(PyObject* node, long long line) {
        auto entry = entries_.find(node);
        if (entry == entries_.end()) {
            // A node that appeared after indexing: fall back to the library's search.
            py::object found = KORVANE_IMPORTED("astroid.builder", "_find_statement_by_line")(
                py::handle(node), py::int_(line));
            if (found.is_none()) return nullptr;
            kept_.push_back(found);
            return found.ptr();
        }
        if (entry->second.has_line && entry->second.line == line) return node;
        for (const py::object& child : children(node)) {
            auto lines = lines_.find(child.ptr());
            if (lines != lines_.end() && !lines->second.count(line)) continue;
            PyObject* found = find(child.ptr(), line);
            if (found && truthy(found)) return found;
        }
        return nullptr;
    }

    py::object tree_;
    std::vector<py::object> kept_;
    std::unordered_map<PyObject*, Entry> entries_;
    std::unordered_map<PyObject*, Lines> lines_;
};

void add_placeholders(py::object atok) {
    py::object tree = atok.attr(KORVANE_NAME("tree"));
    py::object extra_line_map = atok.attr(KORVANE_NAME("extra_line_map"));
    py::object tok_name = KORVANE_IMPORTED("token", "tok_name");
    py::object extract_node = KORVANE_IMPORTED("astroid", "extract_node");
    py::object is_non_coding = KORVANE_IMPORTED("asttokens.util", "is_non_coding_token");
    LineIndex index(tree);
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
            index.add_node(extract_node(blank_placeholder), line.cast<long long>());
            extra_line_map[line] = empty;
        }
        if (type_name.equal(comment)) {
            py::object line = token.attr(start_attr)[py::int_(0)];
            // A comment that shares its line with an earlier code token trails it.
            py::object previous_line = previous.attr(start_attr)[py::int_(0)];
            if (!previous_line.equal(line)) {
                py::object text = token.attr(string_attr);
                index.add_node(extract_node(comment_placeholder_source(text)),
                               line.cast<long long>());
                extra_line_map[line] = text;
            }
        }
        if (!truthy(is_non_coding(type))) previous = token;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

py::object build_atok(py::object source, py::object modname, py::object absolute_path,
                      py::object parse_non_code) {
    // Imported at every call: loading shims registers its transforms process-wide once.
    py::object shims = py::module_::import("korvane.staticanalysis.shims");
    py::object tree = parse_with_own_transforms(shims, source, modname, absolute_path);
    py::object atok = KORVANE_IMPORTED("asttokens", "ASTTokens")(source, py::arg("tree") = tree);
    atok.attr(KORVANE_NAME("extra_line_map")) = py::dict();
    if (!truthy(parse_non_code)) return atok;
    add_placeholders(atok);
    return atok;
}

}  // namespace

void register_token_view(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.builder", "_find_statement_by_line");
    for (const char* name : {"ClassDef", "FunctionDef", "MatchCase"}) {
        (void)import_attr("astroid.nodes", name);
    }
    (void)KORVANE_IMPORTED("astroid.builder", "AstroidBuilder");
    (void)KORVANE_IMPORTED("types", "SimpleNamespace");
    (void)KORVANE_IMPORTED("astroid.transforms", "TransformVisitor");
    (void)KORVANE_IMPORTED("astroid", "extract_node");
    (void)KORVANE_IMPORTED("asttokens", "ASTTokens");
    (void)KORVANE_IMPORTED("token", "tok_name");
    (void)KORVANE_IMPORTED("asttokens.util", "is_non_coding_token");

    m.def("build_atok", &build_atok, py::arg("source"), py::arg("modname") = py::str(""),
          py::arg("absolute_path") = py::none(), py::arg("parse_non_code") = false,
          "Parses a source text into a token view whose tree carries the Django inference "
          "transforms; with parse_non_code, blank lines and whole-line comments become "
          "placeholder calls listed in `extra_line_map`.");
    m.def(
        "add_node",
        [](py::object tree, py::object node, long long line_number) {
            add_node(tree, node, line_number);
        },
        py::arg("tree"), py::arg("node"), py::arg("line_number"),
        "Inserts a node with the given line number into the body it belongs to.");
    m.def(
        "find_node_parent",
        [](py::object tree, long long line) { return find_node_parent(tree, line); },
        py::arg("tree"), py::arg("line"),
        "The module, class or function whose body a node on the line joins.");
    m.def("find_node_by_position", &find_node_by_position, py::arg("tree"), py::arg("line"),
          "The statement that the first node starting on the line belongs to, or None.");
}

}  // namespace korvane::helpers

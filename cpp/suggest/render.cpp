// The comment-keeping renderer: astroid's node-to-source visitor, extended to put back
// a trailing comment after the node it follows and to give the placeholders of blank
// lines and whole-line comments back as text.
//
// Every `visit_` lookup on the visitor is wrapped: the node is rendered first (its
// descendants through their own wrappers), then trimmed, and the comment directly
// after its last token is appended when it stands on the line where the node's
// statement begins, or after the opening bracket that ends the first line of a simple
// statement spanning several lines.  A comment is taken once per token view (the
// `consumed` mark on its token) and by the outermost node being rendered that ends on
// the token before it, so that no bracket the renderer adds (a tuple written without
// them) closes after the comment.
#include "suggest.hpp"

#include <korvane/text.hpp>

namespace korvane::suggest {

namespace {

// Two blanks between code and its trailing comment.
constexpr const char* kCommentGap = "  ";
// The indentation of nested bodies in the rendered text.
constexpr const char* kIndent = "    ";
// The instance field holding the nodes whose wrapped renderings are under way,
// outermost first: the enclosing nodes of the one being rendered.
constexpr const char* kOpenNodes = "_open_nodes";
// The instance field holding, per statement, the comments taken inside it that must go
// after it: appended where they were, they would stand before text that the statement
// still renders (a closing bracket), and the statement would not parse.
constexpr const char* kMovedComments = "_moved_comments";

struct Renderer {
    py::object base;     // astroid's AsStringVisitor
    py::object visitor;  // CommentAwareAsStringVisitor
};

Renderer& renderer() {
    static Renderer* r = new Renderer();
    return *r;
}

py::object strip(py::handle text) { return text.attr(KORVANE_NAME("strip"))(); }

py::object line_of(py::handle position) { return position[py::int_(0)]; }

bool is_comment(py::handle token) {
    static py::object& tok_name = keep(py::module_::import("token").attr("tok_name"));
    return is_text(tok_name[token.attr(KORVANE_NAME("type"))], "COMMENT");
}

// Whether the statement that holds `node` begins on `line`.  A statement that a fix
// built around parsed nodes has no token marks: its first line is unknown and no
// comment is put after it.
bool statement_begins_on(py::handle node, py::handle line) {
    py::object statement = node.attr(KORVANE_NAME("statement"))();
    py::object first = getattr_or_null(statement, KORVANE_NAME("first_token"));
    return first && equals(line_of(first.attr(KORVANE_NAME("start"))), line);
}

// Whether a node being rendered around the current one ends on the same token and would take
// the comment on `comment_line` itself: a node of the parsed tree, not the module,
// whose statement begins on that line.
bool enclosing_node_takes(py::handle self, py::handle last_token,
                          py::handle comment_line) {
    static py::object& module_class = keep(py::module_::import("astroid").attr("Module"));
    py::object open = getattr_or_null(self, KORVANE_NAME(kOpenNodes));
    if (!open) return false;
    for (py::handle outer : open) {
        if (is_placeholder(outer) || korvane::isinstance(outer, module_class)) continue;
        py::object outer_last = getattr_or_null(outer, KORVANE_NAME("last_token"));
        if (!outer_last || !outer_last.is(last_token)) continue;
        if (statement_begins_on(outer, comment_line)) return true;
    }
    return false;
}

// Whether the node ends where its statement ends, so that a comment after it trails the
// statement's rendered text too.
bool ends_its_statement(py::handle node, py::handle last_token) {
    static py::object& decorators_class = keep(py::module_::import("astroid").attr("Decorators"));
    py::object statement = node.attr(KORVANE_NAME("statement"))();
    if (statement.is(node)) return true;
    // A decorator is rendered on a line of its own, which it ends.
    if (korvane::isinstance(node, decorators_class)) return true;
    py::object below = py::reinterpret_borrow<py::object>(node);
    for (py::object up = node.attr(KORVANE_NAME("parent")); !up.is_none() && !up.is(statement);
         below = up, up = up.attr(KORVANE_NAME("parent"))) {
        if (!korvane::isinstance(up, decorators_class)) continue;
        py::object below_last = getattr_or_null(below, KORVANE_NAME("last_token"));
        return below_last && below_last.is(last_token);
    }
    py::object statement_last = getattr_or_null(statement, KORVANE_NAME("last_token"));
    return statement_last && statement_last.is(last_token);
}

// Keeps `comment` for the statement's own wrapper to place.
void move_after_statement(py::handle self, py::handle statement, py::handle comment) {
    py::object moved = getattr_or_null(self, KORVANE_NAME(kMovedComments));
    if (!moved) return;
    int known = PyDict_Contains(moved.ptr(), statement.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known) moved[statement] = py::list();
    moved[statement].attr("append")(comment);
}

// The comment directly after the node's last token when it trails the first line of
// the node's statement and no enclosing node takes it; null otherwise.
py::object comment_after_last_token(py::handle self, py::handle atok, py::handle node) {
    py::object last_token = node.attr(KORVANE_NAME("last_token"));
    py::object next = atok.attr(KORVANE_NAME("next_token"))(last_token,
                                                             py::arg("include_extra") = true);
    if (!is_comment(next)) return py::object();
    py::object comment_line = line_of(next.attr(KORVANE_NAME("start")));
    if (!equals(comment_line, line_of(last_token.attr(KORVANE_NAME("end"))))) return py::object();
    if (!statement_begins_on(node, comment_line)) return py::object();
    if (enclosing_node_takes(self, last_token, comment_line)) return py::object();
    return next;
}

bool is_opening_bracket(py::handle token) {
    py::object text = token.attr(KORVANE_NAME("string"));
    return is_text(text, "(") || is_text(text, "[") || is_text(text, "{");
}

// The comment that ends the first line of a simple statement spanning several lines
// when that line ends with an opening bracket: where the formatter keeps a pragma of
// the statement, the line pylint reads it for.  Null otherwise.  A statement with a
// body is left out: its rendering goes on past the first line.
py::object comment_after_opening_bracket(py::handle atok, py::handle node) {
    if (!truthy(node.attr(KORVANE_NAME("is_statement"))) ||
        PyObject_HasAttr(node.ptr(), KORVANE_NAME("body").ptr())) {
        return py::object();
    }
    py::object token = getattr_or_null(node, KORVANE_NAME("first_token"));
    if (!token) return py::object();
    py::object line = line_of(token.attr(KORVANE_NAME("start")));
    if (equals(line, line_of(node.attr(KORVANE_NAME("last_token")).attr(KORVANE_NAME("end"))))) {
        return py::object();
    }
    const py::str& next_token = KORVANE_NAME("next_token");
    for (;;) {
        py::object next = atok.attr(next_token)(token, py::arg("include_extra") = true);
        if (!equals(line_of(next.attr(KORVANE_NAME("start"))), line)) return py::object();
        if (is_comment(next)) return is_opening_bracket(token) ? next : py::object();
        token = next;
    }
}

// Appends the comment that trails the first line of the node's statement after the
// node's last token, or after the opening bracket that ends a simple statement's
// first line; each comment once.
py::object with_trailing_comment(py::handle self, py::handle node, py::object code) {
    py::object atok = self.attr(KORVANE_NAME("atok"));
    py::object comment = comment_after_last_token(self, atok, node);
    bool after_last_token = bool(comment);
    if (!comment) comment = comment_after_opening_bracket(atok, node);
    if (!comment || PyObject_HasAttr(comment.ptr(), KORVANE_NAME("consumed").ptr())) return code;
    comment.attr(KORVANE_NAME("consumed")) = py::bool_(true);
    py::object text = comment.attr(KORVANE_NAME("string"));
    py::object last_token = node.attr(KORVANE_NAME("last_token"));
    if (after_last_token && !ends_its_statement(node, last_token)) {
        move_after_statement(self, node.attr(KORVANE_NAME("statement"))(), text);
        return code;
    }
    return concat(concat(code, py::str(kCommentGap)), text);
}

// The statement's code with the comments moved to it: after its first line that is
// not a decorator (a compound statement's header, or a simple statement's only
// line); after the whole text when that line ends inside a string.
py::object with_moved_comments(py::handle self, py::handle node, py::object code) {
    py::object moved = getattr_or_null(self, KORVANE_NAME(kMovedComments));
    if (!moved) return code;
    int known = PyDict_Contains(moved.ptr(), node.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known) return code;
    py::object comments = moved[node];
    if (PyDict_DelItem(moved.ptr(), node.ptr()) < 0) throw py::error_already_set();
    py::str suffix = py::str(kCommentGap) + join("  ", comments);
    py::list lines = code.attr("split")("\n");
    bool compound = PyObject_HasAttr(node.ptr(), KORVANE_NAME("body").ptr()) &&
                    !PyObject_HasAttr(node.ptr(), KORVANE_NAME("value").ptr());
    if (compound) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (korvane::truthy(lines[i].attr("startswith")("@"))) continue;
            lines[i] = concat(lines[i], suffix);
            return join("\n", lines);
        }
    }
    return concat(code, suffix);
}

// `func(node)` with the node noted as open while its descendants render.
py::object render_open(py::handle self, py::handle func, py::handle node) {
    py::object open = getattr_or_null(self, KORVANE_NAME(kOpenNodes));
    if (open) open.attr(KORVANE_NAME("append"))(node);
    py::object code;
    try {
        code = func(node);
    } catch (...) {
        if (open) open.attr(KORVANE_NAME("pop"))();
        throw;
    }
    if (open) open.attr(KORVANE_NAME("pop"))();
    return code;
}

// One wrapped visit: render, then trim and take the trailing comment.
py::object handle_comment_suffix(py::object self, py::object func, py::object node) {
    static py::object& module_class = keep(py::module_::import("astroid").attr("Module"));
    static py::object& decorators_class = keep(py::module_::import("astroid").attr("Decorators"));
    py::object code = render_open(self, func, node);
    if (is_placeholder(node)) return code;
    if (!PyObject_HasAttr(node.ptr(), KORVANE_NAME("last_token").ptr()))
        return with_moved_comments(self, node, code);
    if (korvane::isinstance(node, module_class)) return strip(code);
    code = with_moved_comments(self, node, with_trailing_comment(self, node, strip(code)));
    // The decorators' line break ends the line before the definition's header.
    if (korvane::isinstance(node, decorators_class)) return concat(code, py::str("\n"));
    return code;
}

py::object with_comment_decorator(py::object self, py::object func) {
    static py::object& partial = keep(py::module_::import("functools").attr("partial"));
    py::cpp_function handle(
        [func](py::object visitor, py::object node) {
            return handle_comment_suffix(std::move(visitor), func, std::move(node));
        },
        py::name("handle_comment_suffix"));
    return partial(handle, self);
}

py::object get_attribute(py::object self, py::object name) {
    return wrapped_visit_lookup(std::move(self), std::move(name), &with_comment_decorator);
}

void init_visitor(py::object self, py::object atok, py::args args, py::kwargs kwargs) {
    self.attr(KORVANE_NAME("atok")) = atok;
    self.attr(KORVANE_NAME(kOpenNodes)) = py::list();
    self.attr(KORVANE_NAME(kMovedComments)) = py::dict();
    renderer().base.attr("__init__")(self, *args, **kwargs);
}

py::object visit_call(py::object self, py::object node) {
    if (is_placeholder(node)) {
        py::object lines = self.attr(KORVANE_NAME("atok")).attr(KORVANE_NAME("extra_line_map"));
        py::object line = node.attr(KORVANE_NAME("lineno"));
        // A placeholder whose line is no longer mapped stands for no text.
        if (!PyMapping_HasKey(lines.ptr(), line.ptr())) return py::str("");
        return lines[line];
    }
    return renderer().base.attr(KORVANE_NAME("visit_call"))(self, node);
}

py::object node_as_string(py::object atok, py::object node) {
    py::object visitor = renderer().visitor(py::arg("indent") = py::str(kIndent),
                                            py::arg("atok") = atok);
    py::object text = visitor(node);
    return text.attr(KORVANE_NAME("rstrip"))().attr(KORVANE_NAME("strip"))(py::str("\n"));
}

void make_visitor_class(py::module_& m) {
    Renderer& r = renderer();
    r.base = visitor_base();
    py::dict ns;
    ns["__doc__"] = py::str("Visitor to render an Astroid node as a valid python code string");
    py::object cls = make_class(m, "CommentAwareAsStringVisitor", py::make_tuple(r.base), ns);
    def_init(cls, &init_visitor, py::arg("atok"));
    def_method(cls, "__getattribute__", &get_attribute, py::arg("name"));
    def_method(cls, "visit_call", &visit_call, py::arg("node"));
    def_method(cls, "with_comment_decorator", &with_comment_decorator, py::arg("func"));
    r.visitor = cls;
}

}  // namespace

// astroid's visitor, from `astroid.as_string`, or from `astroid.nodes.as_string`
// where the library keeps it (2.x).
py::object visitor_base() {
    try {
        return py::module_::import("astroid.as_string").attr("AsStringVisitor");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ModuleNotFoundError)) throw;
    }
    return py::module_::import("astroid.nodes.as_string").attr("AsStringVisitor");
}

py::object wrapped_visit_lookup(py::object self, py::object name,
                                py::object (*wrap)(py::object, py::object)) {
    PyObject* found = PyObject_GenericGetAttr(self.ptr(), name.ptr());
    if (!found) throw py::error_already_set();
    py::object value = py::reinterpret_steal<py::object>(found);
    int visit = PyUnicode_Check(name.ptr())
                    ? static_cast<int>(PyUnicode_Tailmatch(name.ptr(), KORVANE_NAME("visit_").ptr(), 0,
                                                           6, -1))
                    : 0;
    if (visit < 0) throw py::error_already_set();
    return visit == 1 ? wrap(self, value) : value;
}

bool is_placeholder(py::handle node) {
    PyObject* mark = PyObject_GetAttr(node.ptr(), KORVANE_NAME("non_code_placeholder").ptr());
    if (!mark) {
        clear_ordinary_error();
        return false;
    }
    int truth = PyObject_IsTrue(mark);
    Py_DECREF(mark);
    if (truth < 0) clear_ordinary_error();
    return truth == 1;
}

void register_render(py::module_& m) {
    (void)py::module_::import("token");
    make_visitor_class(m);
    m.def("node_as_string", &node_as_string, py::arg("atok"), py::arg("node"),
          "The source text of a node of a token view's tree, with its trailing comment; "
          "placeholders of blank lines and whole-line comments come back as their text.");
}

}  // namespace korvane::suggest

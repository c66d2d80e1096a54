// Rendering a node that the fixes changed or made, for an edit's text.
//
// The tree library's node-to-source visitor renders the node; wherever it reaches an
// expression of the original tree whose subtree the fixes left unchanged, the
// expression's own source text is used instead of its rendering, so that its spelling,
// quotes and any comments inside its brackets stay as written.  The visitor still
// adds the brackets that precedence asks for around such a text.
#include "source_edits.hpp"

#include <korvane/text.hpp>

#include "token_lines.hpp"

namespace korvane::suggest {

namespace {

// The instance fields of the visitor during one rendering.
constexpr const char* kTokenView = "_kept_atok";
constexpr const char* kUnchanged = "_kept_unchanged";

struct KeptRenderer {
    py::object cls;
};

KeptRenderer& kept_renderer() {
    static auto* r = new KeptRenderer();
    return *r;
}

bool is_instance_of(py::handle node, const char* cls) {
    return korvane::isinstance(node, import_attr("astroid.nodes", cls));
}

// Whether brackets around a node's text leave it valid: not around a keyword
// argument, a starred item or a slice.
bool can_stand_in_brackets(py::handle node) {
    for (const char* cls : {"Keyword", "Starred", "Slice"}) {
        if (is_instance_of(node, cls)) return false;
    }
    return true;
}

// The source text of an original expression, when it can stand for the node wherever
// the visitor places it; null otherwise.  Statements are rendered (their lines carry
// indentation), and so are the nodes whose text leaves out part of them: a `**`
// keyword (the text starts after the stars), an argument list, a comprehension.
// A tuple or generator keeps its text only when the text holds its brackets, as the
// visitor's own rendering always does.
py::object kept_text(py::handle atok, Unchanged& unchanged, py::handle node) {
    if (truthy(node.attr(KORVANE_NAME("is_statement")))) return py::object();
    for (const char* cls : {"Arguments", "Comprehension", "Decorators", "FormattedValue"}) {
        if (is_instance_of(node, cls)) return py::object();
    }
    if (is_instance_of(node, "Keyword") && node.attr(KORVANE_NAME("arg")).is_none())
        return py::object();
    py::object first = getattr_or_null(node, KORVANE_NAME("first_token"));
    if (!first || first.is_none() || !unchanged.is_original(node) || !unchanged(node))
        return py::object();
    py::object text = atok.attr(KORVANE_NAME("get_text"))(node);
    if (is_instance_of(node, "Tuple") || is_instance_of(node, "GeneratorExp")) {
        bool bracketed = truthy(text.attr("startswith")("(")) && truthy(text.attr("endswith")(")"));
        if (!bracketed) return py::object();
    }
    if (breaks_line_outside_brackets(atok, node) && can_stand_in_brackets(node))
        return concat(concat(py::str("("), text), py::str(")"));
    return text;
}

Unchanged& unchanged_of(py::handle self) {
    py::capsule capsule = self.attr(kUnchanged);
    return *static_cast<Unchanged*>(capsule.get_pointer());
}

py::object visit_kept(py::object self, py::object func, py::object node) {
    py::object text = kept_text(self.attr(kTokenView), unchanged_of(self), node);
    if (text) return text;
    return func(node);
}

py::object wrap_visit(py::object self, py::object func) {
    static py::object& partial = keep(py::module_::import("functools").attr("partial"));
    py::cpp_function visit(
        [func](py::object visitor, py::object node) {
            return visit_kept(std::move(visitor), func, std::move(node));
        },
        py::name("visit_kept"));
    return partial(visit, self);
}

py::object get_attribute(py::object self, py::object name) {
    return wrapped_visit_lookup(std::move(self), std::move(name), &wrap_visit);
}

}  // namespace

// Whether a node's text goes on to a new line outside any bracket of its own (a
// receiver written over lines inside the brackets of a call it no longer stands in):
// written elsewhere as it is, the line break would end the statement.
bool breaks_line_outside_brackets(py::handle atok, py::handle node) {
    py::list tokens = tokens_of(atok);
    long first = index_of(node.attr(KORVANE_NAME("first_token")));
    long last = index_of(node.attr(KORVANE_NAME("last_token")));
    if (start_line(tokens[first]) == end_line(tokens[last])) return false;
    long depth = 0;
    long line = end_line(tokens[first]);
    for (long i = first; i <= last; ++i) {
        py::handle token = tokens[static_cast<size_t>(i)];
        if (!is_code_token(token)) continue;
        if (i > first && depth == 0 && start_line(token) > line) return true;
        line = end_line(token);
        if (as_long(token.attr(KORVANE_NAME("type"))) != types().op) continue;
        py::object s = token.attr(KORVANE_NAME("string"));
        if (is_text(s, "(") || is_text(s, "[") || is_text(s, "{")) ++depth;
        if (is_text(s, ")") || is_text(s, "]") || is_text(s, "}")) --depth;
    }
    return false;
}

py::object render_kept(py::handle atok, Unchanged& unchanged, py::handle node) {
    KeptRenderer& r = kept_renderer();
    py::object visitor = r.cls(py::arg("indent") = py::str("    "));
    visitor.attr(kTokenView) = atok;
    visitor.attr(kUnchanged) = py::capsule(static_cast<void*>(&unchanged));
    // The call of the visitor renders the node itself through its own visit method,
    // which the wrapper sees too: a node kept whole comes back as its text.
    py::object text = visitor(node);
    visitor.attr(kUnchanged) = py::none();
    return text;
}

void register_kept_render(py::module_& m) {
    py::object base = visitor_base();
    py::dict ns;
    ns["__doc__"] = py::str(
        "Renders a node with the source text of each unchanged expression of the "
        "original tree within it.");
    py::object cls = make_class(m, "KeptTextAsStringVisitor", py::make_tuple(base), ns);
    def_method(cls, "__getattribute__", &get_attribute, py::arg("name"));
    kept_renderer().cls = cls;
    for (const char* name : {"Arguments", "Comprehension", "Decorators", "FormattedValue",
                             "Keyword", "Tuple", "GeneratorExp", "Starred", "Slice"}) {
        (void)import_attr("astroid.nodes", name);
    }
}

}  // namespace korvane::suggest

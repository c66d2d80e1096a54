// The static-tag rewriter: collects static-file paths from media, script and
// stylesheet tags of a template text and replaces each quoted occurrence by the
// static-files template tag, plus the pipeline object and factory of the fix road.
#include "templates.hpp"

#include <korvane/fix_rows.hpp>

#include <string>
#include <vector>

namespace korvane::templates {

namespace {

// Texts are edited as UTF-8; "surrogatepass" lets any Python text round-trip.
std::string to_utf8(py::handle text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw py::error_already_set();
    py::object keep_bytes = py::reinterpret_steal<py::object>(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

py::object from_utf8(const std::string& text) {
    PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                         "surrogatepass");
    if (!str) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(str);
}

// A segment of the text being rewritten; inserted tags are frozen so that later values
// are never searched inside them.
struct Segment {
    std::string text;
    bool frozen;
};

bool is_quote(char c) { return c == '"' || c == '\''; }

// Replaces, in the unfrozen segments, every occurrence of `hit` that stands between the
// same quote character on both sides, quotes included, by `replacement`.
bool replace_quoted(std::vector<Segment>& segments, const std::string& hit,
                    const std::string& replacement) {
    bool changed = false;
    std::vector<Segment> out;
    out.reserve(segments.size());
    for (Segment& segment : segments) {
        if (segment.frozen) {
            out.push_back(std::move(segment));
            continue;
        }
        const std::string& s = segment.text;
        size_t kept_from = 0;
        size_t pos = 0;
        size_t i;
        while ((i = s.find(hit, pos)) != std::string::npos) {
            size_t end = i + hit.size();
            if (i > kept_from && end < s.size() && is_quote(s[i - 1]) && s[end] == s[i - 1]) {
                out.push_back({s.substr(kept_from, i - 1 - kept_from), false});
                out.push_back({replacement, true});
                kept_from = end + 1;
                pos = kept_from;
                changed = true;
            } else {
                pos = i + 1;
            }
        }
        out.push_back({s.substr(kept_from), false});
    }
    segments.swap(out);
    return changed;
}

py::object hard_coded_static_url_to_static_tag(py::object html, py::object visitor) {
    py::object parser = state().module.attr("HardCodedStaticUrlToStaticTagHTMLMutator")();
    parser.attr(KORVANE_NAME("feed"))(html);
    py::object results = parser.attr(KORVANE_NAME("results"));
    py::object settings = visitor.attr(KORVANE_NAME("settings"));

    std::vector<Segment> segments;
    bool changed = false;
    for (py::handle hit : results) {
        py::object prefix = settings[KORVANE_NAME("STATIC_URL")];
        if (!PyUnicode_Check(hit.ptr()) || !PyUnicode_Check(prefix.ptr())) continue;
        std::string hit_text = to_utf8(hit);
        std::string prefix_text = to_utf8(prefix);
        // Only a path under the static prefix is a static file; the prefix is removed
        // once, from its start.
        if (hit_text.empty() || hit_text.compare(0, prefix_text.size(), prefix_text) != 0)
            continue;
        std::string path = hit_text.substr(prefix_text.size());
        // A quote cannot be written inside the tag and its attribute.
        if (path.find_first_of("\"'") != std::string::npos) continue;
        // The tag quotes the path it is given into a URL: a query or a fragment stays
        // after it, and a path holding a percent escape (escaped again) or template
        // syntax (taken as text) is left as it is.
        size_t cut = path.find_first_of("?#");
        std::string tail = cut == std::string::npos ? "" : path.substr(cut);
        path = path.substr(0, cut);
        if (path.find_first_of("%{") != std::string::npos) continue;
        if (segments.empty()) segments.push_back({to_utf8(html), false});
        std::string replacement = "'{% static \"" + path + "\" %}" + tail + "'";
        changed = replace_quoted(segments, hit_text, replacement) || changed;
    }
    if (!changed) return html;
    std::string text;
    for (const Segment& segment : segments) text += segment.text;
    return from_utf8(text);
}

// Collects the value of every `src` attribute that has one, whatever it holds.
void collect_src(py::object self, py::object attrs) {
    py::object results;
    for (py::handle item : attrs) {
        auto [name, value] = unpack_pair(item);
        if (!equals(name, KORVANE_NAME("src")) || value.is_none()) continue;
        if (!results) results = self.attr(KORVANE_NAME("results"));
        results.attr(KORVANE_NAME("append"))(value);
    }
}

// Collects every root-relative `href` value.
void collect_link(py::object self, py::object attrs) {
    py::object results;
    for (py::handle item : attrs) {
        auto [name, value] = unpack_pair(item);
        if (!equals(name, KORVANE_NAME("href")) || !PyUnicode_Check(value.ptr())) continue;
        if (PyUnicode_READY(value.ptr()) < 0) throw py::error_already_set();
        if (PyUnicode_GET_LENGTH(value.ptr()) == 0 || PyUnicode_READ_CHAR(value.ptr(), 0) != '/')
            continue;
        if (!results) results = self.attr(KORVANE_NAME("results"));
        results.attr(KORVANE_NAME("append"))(value);
    }
}

// `BaseHTMLMutator.__init__`: an empty `results`, then the HTML parser's own set-up.
void mutator_init(py::object self, py::args args, py::kwargs kwargs) {
    self.attr(KORVANE_NAME("results")) = py::list();
    KORVANE_IMPORTED("html.parser", "HTMLParser")
        .attr(KORVANE_NAME("__init__"))(self, *args, **kwargs);
}

// Hands the start tag's attributes to its `visit_<tag>` collector, where there is a
// true one (a collector set to None switches the tag off).
void mutator_handle_starttag(py::object self, py::object tag, py::object attrs) {
    py::object handler = start_tag_handler(self, tag);
    if (handler && truthy(handler)) handler(attrs);
}

void visitor_init(py::object self, py::object settings) {
    self.attr(KORVANE_NAME("settings")) = settings;
    self.attr(KORVANE_NAME("mutators")) = py::list();
}

// Runs the mutators in order, each on the text the one before it gave.
py::object visitor_visit(py::object self, py::object html) {
    py::object mutators = self.attr(KORVANE_NAME("mutators"));
    for (py::handle mutate : mutators) {
        html = mutate(py::arg("html") = html, py::arg("visitor") = self);
    }
    return html;
}

// One rewrite of the text: the module function `mutator`, brought by `code`.
struct MutatorRow {
    const char* code;
    const char* mutator;
};

const MutatorRow kMutatorRows[] = {
    {"C7001", "hard_coded_static_url_to_static_tag"},
};

// A Visitor holding the static-tag rewrite once for each C7001 among the codes; the
// class and the rewrite are looked up on the module at the call.
py::object build_transformer_visitor(py::object message_ids, py::object settings) {
    py::object visitor = state().module.attr("Visitor")(py::arg("settings") = settings);
    py::object mutators = visitor.attr(KORVANE_NAME("mutators"));
    auto add = [&](const MutatorRow& row) {
        mutators.attr(KORVANE_NAME("append"))(state().module.attr(row.mutator));
    };
    for_each_requested_row(message_ids, state().module.attr("Codes"), kMutatorRows, add);
    return visitor;
}

void register_mutators(py::module_& m) {
    py::dict base_ns;
    base_ns["__doc__"] = py::str(
        "An HTML parser that hands each start tag to its `visit_<tag>` handler, which "
        "collects attribute values into `results`.");
    py::object base = make_class(m, "BaseHTMLMutator",
                                 py::make_tuple(KORVANE_IMPORTED("html.parser", "HTMLParser")),
                                 base_ns);
    def_init(base, &mutator_init);
    def_method(base, "handle_starttag", &mutator_handle_starttag, py::arg("tag"),
               py::arg("attrs"));

    py::dict mutator_ns;
    mutator_ns["__doc__"] = py::str(
        "Collects the source values of media and script tags and the root-relative "
        "`href` values of `link` tags.");
    py::object mutator = make_class(m, "HardCodedStaticUrlToStaticTagHTMLMutator",
                                    py::make_tuple(base), mutator_ns);
    alias_src_visitors(
        mutator, def_method(mutator, "visit_element_with_src", &collect_src, py::arg("attrs")));
    def_method(mutator, "visit_link", &collect_link, py::arg("attrs"));
}

void register_visitor(py::module_& m) {
    py::dict ns;
    ns["__doc__"] = py::str(
        "Holds the template settings and the text mutators; `visit` runs them in order.");
    py::object visitor = make_class(m, "Visitor", py::tuple(), ns);
    def_init(visitor, &visitor_init, py::arg("settings"));
    def_method(visitor, "visit", &visitor_visit, py::arg("html"));
}

}  // namespace

void register_rewriter(py::module_& m) {
    register_mutators(m);
    register_visitor(m);
    m.def("hard_coded_static_url_to_static_tag", &hard_coded_static_url_to_static_tag,
          py::arg("html"), py::arg("visitor"),
          "Replaces each quoted static-file path of the text by the static-files tag.");
    m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
          py::arg("settings"),
          "A Visitor holding the static-tag rewriter for each C7001 among the codes.");
}

}  // namespace korvane::templates

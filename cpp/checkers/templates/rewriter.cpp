// The static-tag rewriter: collects static-file paths from media, script and
// stylesheet tags of a template text and replaces each quoted occurrence by the
// static-files template tag, plus the pipeline object and factory of the fix road.
#include "templates.hpp"

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

py::object hard_coded_static_url_to_static_tag(py::handle m, py::object html,
                                               py::object visitor) {
    py::object parser = m.attr("HardCodedStaticUrlToStaticTagHTMLMutator")();
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
        // A quote inside the path cannot be written inside the tag and its attribute.
        if (path.find_first_of("\"'") != std::string::npos) continue;
        if (segments.empty()) segments.push_back({to_utf8(html), false});
        std::string replacement = "'{% static \"" + path + "\" %}'";
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

}  // namespace

void register_rewriter(py::module_& m) {
    py::object& parser_class = KORVANE_IMPORTED("html.parser", "HTMLParser");
    py::object object_type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyBaseObject_Type));

    py::dict base_ns;
    base_ns["__doc__"] = py::str(
        "An HTML parser that hands each start tag to its `visit_<tag>` handler, which "
        "collects attribute values into `results`.");
    py::object base = make_class(m, "BaseHTMLMutator", py::make_tuple(parser_class), base_ns);
    def_init(base, [](py::object self, py::args args, py::kwargs kwargs) {
        self.attr(KORVANE_NAME("results")) = py::list();
        KORVANE_IMPORTED("html.parser", "HTMLParser")
            .attr(KORVANE_NAME("__init__"))(self, *args, **kwargs);
    });
    def_method(
        base, "handle_starttag",
        [](py::object self, py::object tag, py::object attrs) {
            py::object handler = getattr_or_null(self, handler_name(tag));
            if (handler && truthy(handler)) handler(attrs);
        },
        py::arg("tag"), py::arg("attrs"));

    py::dict mutator_ns;
    mutator_ns["__doc__"] = py::str(
        "Collects the source values of media and script tags and the root-relative "
        "`href` values of `link` tags.");
    py::object mutator = make_class(m, "HardCodedStaticUrlToStaticTagHTMLMutator",
                                    py::make_tuple(base), mutator_ns);
    py::object with_src =
        def_method(mutator, "visit_element_with_src", &collect_src, py::arg("attrs"));
    def_method(mutator, "visit_link", &collect_link, py::arg("attrs"));
    for (const char* alias : {"visit_audio", "visit_embed", "visit_img", "visit_input",
                              "visit_script", "visit_source", "visit_track", "visit_video"}) {
        mutator.attr(alias) = with_src;
    }

    py::dict visitor_ns;
    visitor_ns["__doc__"] = py::str(
        "Holds the template settings and the text mutators; `visit` runs them in order.");
    py::object visitor = make_class(m, "Visitor", py::make_tuple(object_type), visitor_ns);
    def_init(
        visitor,
        [](py::object self, py::object settings) {
            self.attr(KORVANE_NAME("settings")) = settings;
            self.attr(KORVANE_NAME("mutators")) = py::list();
        },
        py::arg("settings"));
    def_method(
        visitor, "visit",
        [](py::object self, py::object html) {
            py::object mutators = self.attr(KORVANE_NAME("mutators"));
            for (py::handle mutate : mutators) {
                html = mutate(py::arg("html") = html, py::arg("visitor") = self);
            }
            return html;
        },
        py::arg("html"));

    // The module itself, kept: the factory and the rewrite look its classes and
    // functions up at call time, so patched names are honoured.
    py::object* module = &keep(m);
    m.def(
        "hard_coded_static_url_to_static_tag",
        [module](py::object html, py::object visitor) {
            return hard_coded_static_url_to_static_tag(*module, html, visitor);
        },
        py::arg("html"), py::arg("visitor"),
        "Replaces each quoted static-file path of the text by the static-files tag.");
    m.def(
        "build_transformer_visitor",
        [module](py::object message_ids, py::object settings) {
            py::object visitor = module->attr("Visitor")(py::arg("settings") = settings);
            py::object mutators = visitor.attr(KORVANE_NAME("mutators"));
            py::object rewrite;
            for (py::handle code : message_ids) {
                if (!equals(code, KORVANE_NAME("C7001"))) continue;
                if (!rewrite) rewrite = module->attr("hard_coded_static_url_to_static_tag");
                mutators.attr(KORVANE_NAME("append"))(rewrite);
            }
            return visitor;
        },
        py::arg("message_ids"), py::arg("settings"),
        "A Visitor holding the static-tag rewriter for each C7001 among the codes.");
}

}  // namespace korvane::templates

// Django template comments, blanked before the HTML parser reads a template: the
// `{% comment %}` ... `{% endcomment %}` blocks and the one-line `{# ... #}` comments
// render to nothing, so markup inside them raises no finding.  Every character of a
// comment except the line feeds becomes a space, so the lines and columns of all that
// follows stay as they are in the file.
//
// The tags are found as Django's lexer finds them: scanning left to right, a tag is a
// `{%`, `{{` or `{#` opening closed by the first `%}`, `}}` or `#}` on the same line.
// Inside `{% verbatim %}` ... `{% endverbatim %}` every tag is plain text.  A comment
// block ends at the first `{% endcomment %}` (blocks do not nest), and its opening tag
// may carry a note (`{% comment "why" %}`).  An opening tag without its end tag is a
// syntax error for Django; the text from it on is left as it is, so its findings stay.
//
// The same walk gives the block tags that Django's parser reads (`block_tags`): those
// outside comments and verbatim text, where a `{% load %}` or `{% extends %}` counts.
#include "templates.hpp"

#include <string>
#include <utility>
#include <vector>

namespace korvane::templates {

namespace {

using Text = std::u32string;
constexpr std::size_t kNpos = Text::npos;
// The length of a tag's opening ("{%", "{{", "{#") and of its closing.
constexpr std::size_t kDelimiter = 2;

bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }

struct Tag {
    std::size_t begin;  // index of the opening "{"
    std::size_t end;    // one past the closing "}"
    char32_t kind;      // "%", "{" or "#": the second character of the opening
};

// Yields the tags of a text in order.  The next closing of each kind and the next line
// feed are kept between searches: they only move forward, so a line full of openings
// that never close is still read in linear time.
class TagScanner {
public:
    explicit TagScanner(const Text& text) : text_(text) {}

    bool next(Tag& tag) {
        const std::size_t n = text_.size();
        while (pos_ + 1 < n) {
            std::size_t open = text_.find(U'{', pos_);
            if (open == kNpos || open + 1 >= n) break;
            int slot = kind_slot(text_[open + 1]);
            if (slot < 0) {
                pos_ = open + 1;
                continue;
            }
            std::size_t close = following(closings_[slot], closing_of(slot), open + kDelimiter);
            std::size_t newline = following(newline_, U"\n", open + kDelimiter);
            if (close != kNpos && (newline == kNpos || close < newline)) {
                tag = {open, close + kDelimiter, text_[open + 1]};
                pos_ = close + kDelimiter;
                return true;
            }
            pos_ = open + 1;
        }
        pos_ = n;
        return false;
    }

private:
    struct Found {
        bool known = false;
        std::size_t at = 0;
    };

    static int kind_slot(char32_t second) {
        switch (second) {
            case U'%': return 0;
            case U'{': return 1;
            case U'#': return 2;
            default: return -1;
        }
    }

    static const char32_t* closing_of(int slot) {
        static const char32_t* const closings[] = {U"%}", U"}}", U"#}"};
        return closings[slot];
    }

    // The first occurrence of `needle` at or after `from`, reusing the last answer
    // while it still lies at or after `from` (or there was none at all).
    std::size_t following(Found& found, const char32_t* needle, std::size_t from) {
        if (!found.known || (found.at != kNpos && found.at < from)) {
            found.at = text_.find(needle, from);
            found.known = true;
        }
        return found.at;
    }

    const Text& text_;
    std::size_t pos_ = 0;
    Found closings_[3];  // one per tag kind, indexed by kind_slot
    Found newline_;
};

// The contents of a block tag between its delimiters, without surrounding whitespace.
Text block_contents(const Text& text, const Tag& tag) {
    std::size_t begin = tag.begin + kDelimiter, end = tag.end - kDelimiter;
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The tag name: the first word of the contents.
Text tag_name(const Text& contents) {
    std::size_t end = 0;
    while (end < contents.size() && !is_space(contents[end])) ++end;
    return contents.substr(0, end);
}

bool opens_verbatim(const Text& contents) {
    static const Text kNamed = U"verbatim ";  // `{% verbatim name %}`
    return contents == U"verbatim" || contents.compare(0, kNamed.size(), kNamed) == 0;
}

void blank(Text& text, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] != U'\n') text[i] = U' ';
    }
}

// What Django's lexer and parser make of a template: the ranges that are comments, in
// order, and the block tags the parser reads, outside comments and verbatim text.
struct Scan {
    std::vector<std::pair<std::size_t, std::size_t>> comments;
    std::vector<Tag> blocks;
};

Scan scan_template(const Text& text) {
    Scan scan;
    TagScanner scanner(text);
    Tag tag{};
    Text verbatim_end;  // the closing tag's contents while inside a verbatim block
    bool in_block = false;
    std::size_t block_begin = 0;
    // One-line comments met inside a block that may turn out to be unclosed.
    std::vector<std::pair<std::size_t, std::size_t>> pending;
    while (scanner.next(tag)) {
        if (tag.kind == U'{') continue;
        if (tag.kind == U'#') {
            if (!verbatim_end.empty()) continue;
            (in_block ? pending : scan.comments).emplace_back(tag.begin, tag.end);
            continue;
        }
        Text contents = block_contents(text, tag);
        if (!verbatim_end.empty()) {
            if (contents != verbatim_end) continue;
            verbatim_end.clear();
        } else if (opens_verbatim(contents)) {
            verbatim_end = U"end" + contents;
        }
        if (in_block) {
            if (contents == U"endcomment") {
                scan.comments.emplace_back(block_begin, tag.end);
                pending.clear();
                in_block = false;
            }
        } else if (tag_name(contents) == U"comment") {
            in_block = true;
            block_begin = tag.begin;
        } else {
            scan.blocks.push_back(tag);
        }
    }
    // An unclosed block is no comment: the one-line comments after its opening still are.
    scan.comments.insert(scan.comments.end(), pending.begin(), pending.end());
    return scan;
}

bool may_hold_comment(PyObject* text) {
    // Cheap pre-test: no "{%" or "{#" means no comment.
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i + 1 < length; ++i) {
        if (PyUnicode_READ(kind, data, i) != '{') continue;
        Py_UCS4 second = PyUnicode_READ(kind, data, i + 1);
        if (second == '%' || second == '#') return true;
    }
    return false;
}

// The code points of a text.
Text code_points(py::handle text) {
    Py_UCS4* copy = PyUnicode_AsUCS4Copy(text.ptr());
    if (!copy) throw py::error_already_set();
    Text chars(reinterpret_cast<const char32_t*>(copy),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
    PyMem_Free(copy);
    return chars;
}

py::str from_code_points(const Text& chars) {
    PyObject* result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(),
                                                 static_cast<Py_ssize_t>(chars.size()));
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

}  // namespace

py::object blank_template_comments(py::object text) {
    if (!PyUnicode_Check(text.ptr())) return text;
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    if (!may_hold_comment(text.ptr())) return text;

    Text chars = code_points(text);
    auto ranges = scan_template(chars).comments;
    if (ranges.empty()) return text;
    for (const auto& [begin, end] : ranges) blank(chars, begin, end);
    return from_code_points(chars);
}

py::list block_tags(py::str text) {
    py::list tags;
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    if (!may_hold_comment(text.ptr())) return tags;
    Text chars = code_points(text);
    for (const Tag& tag : scan_template(chars).blocks) {
        Text contents = block_contents(chars, tag);
        tags.append(py::make_tuple(tag.begin, tag.end, from_code_points(contents)));
    }
    return tags;
}

void register_comments(py::module_& m) {
    m.def("block_tags", &block_tags, py::arg("text"),
          "The block tags that Django's template parser reads in a template, outside its "
          "comments and verbatim blocks, in order: (start, end, contents) with character "
          "offsets, the contents without the delimiters and surrounding whitespace.");
}

}  // namespace korvane::templates

// The suggestion road's entry point: groups the host's finding comments by file and
// line, asks the producer of the file's kind for suggestions, and turns each group
// into one review comment, with the suggestion that covers the finding line folded in
// and every other suggestion posted as a comment of its own.  A file that cannot be
// taken, or a group whose answer fails, loses only its own suggestions.
#include "dispatch.hpp"

#include <korvane/text.hpp>

#include <vector>

namespace korvane::suggest {

namespace {

// The text that opens a suggestion block (three backquotes and the word that makes
// the review platform offer the block as an applicable change) and the one that
// closes it.
constexpr const char* kSuggestionOpen = "```suggestion\n";
constexpr const char* kSuggestionClose = "\n```";
// Separates the parts of a comment's body: one empty line.
constexpr const char* kBodySeparator = "\n\n";
// The side of the diff every comment stands on: the changed file.
constexpr const char* kSide = "RIGHT";

// `a <= b` by the interpreter's ordering.
bool less_equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// A shallow copy of a mapping into a new plain dict, as `dict(item)`.
py::dict copy_mapping(py::handle item) {
    PyObject* r = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyDict_Type),
                                               item.ptr(), nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(r);
}

// `int(value)`, as the interpreter converts texts and real numbers.
py::object to_int(py::handle value) {
    PyObject* r = PyNumber_Long(value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// One suggestion: first line, last line and the replacement text.
struct Suggestion {
    py::object first;
    py::object last;
    py::object text;
};

// Unpacks a producer's item into exactly three values, as `first, last, text = item`.
Suggestion unpack_suggestion(py::handle item) {
    std::array<py::object, 3> values = unpack_three(item);
    return Suggestion{values[0], values[1], values[2]};
}

// Whether the suggestion's lines hold the finding line: one of its ends, or, for
// integer lines, any line between them.
bool covers(const Suggestion& s, py::handle line) {
    if (equals(s.first, line) || equals(s.last, line)) return true;
    if (!PyLong_Check(s.first.ptr()) || !PyLong_Check(s.last.ptr())) return false;
    return less_equal(s.first, line) && less_equal(line, s.last);
}

}  // namespace

py::object markup_suggestion(py::object suggestion) {
    return concat(concat(py::str(kSuggestionOpen), suggestion), py::str(kSuggestionClose));
}

py::dict build_comment(py::object path, py::object start_line, py::object end_line,
                       py::object body) {
    py::dict comment;
    comment["body"] = body;
    comment["path"] = path;
    comment["side"] = py::str(kSide);
    int differ = PyObject_RichCompareBool(start_line.ptr(), end_line.ptr(), Py_NE);
    if (differ < 0) throw py::error_already_set();
    if (differ) {
        comment["start_line"] = start_line;
        comment["line"] = end_line;
    } else {
        comment["line"] = start_line;
    }
    return comment;
}

py::object group_comments_by_line(py::object comments) {
    py::object groups = KORVANE_IMPORTED("collections", "defaultdict")(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyList_Type)));
    for (py::handle item : comments) {
        py::object path = item[KORVANE_NAME("path")];
        py::object line = to_int(item[KORVANE_NAME("line")]);
        groups[py::make_tuple(path, line)].attr(KORVANE_NAME("append"))(copy_mapping(item));
    }
    return groups;
}

namespace {

// What one call of `suggest_fixes` carries from group to group.
struct Call {
    py::object code_style;
    py::dict settings;            // the template settings: STATIC_URL
    py::object settings_modpath;  // dotted path of the settings module, or None
    py::object root;              // the project root, resolved
    // path -> template lines or token view, read once; None for a file that could not
    // be read or parsed, whose groups get no suggestion
    py::dict cache;
    py::dict sources;             // path -> (source text, module path) of a module
    py::dict kept;                // path -> [(line, codes)] whose fixes its tree holds
    py::set marked;               // the modules that start with a byte-order mark
    py::set seen;                 // (path, first line, text) of the blocks posted so far
    py::list result;
};

// One line saying why an ordinary error happened: its class and its message.
py::str reason_of(const py::error_already_set& e) {
    py::object value = e.value();
    py::str name = py::type::handle_of(value).attr("__name__");
    py::str message = join(" ", py::str(value).attr("split")());
    return truthy(message) ? concat(concat(name, py::str(": ")), message) : name;
}

// Whether `path`, opened from the working directory, lies inside the project root;
// links are resolved, so a link that leads out of the project counts as outside.
bool inside_project(Call& call, py::handle path) {
    py::object os_path = KORVANE_IMPORTED("os", "path");
    py::object real = os_path.attr("realpath")(path);
    py::object common = os_path.attr("commonpath")(py::make_tuple(call.root, real));
    return equals(common, call.root);
}

// The byte-order mark that may start a file's first line.
constexpr const char* kByteOrderMark = "\xef\xbb\xbf";

// The template's lines, read as Django reads templates (UTF-8).
py::object template_lines(py::handle path) {
    return state().helpers.attr("read_code_from_file")(path, py::arg("encoding") = "utf-8");
}

py::object build_view(py::handle path, py::handle source, py::handle modname) {
    return state().helpers.attr("build_atok")(py::arg("source") = source,
                                              py::arg("modname") = modname,
                                              py::arg("absolute_path") = path);
}

// The module's token view, read as the interpreter reads it (coding cookie, byte-order
// mark) and parsed; the fixes of every group of the module edit this one tree.
py::object module_view(Call& call, py::handle path) {
    py::object helpers = state().helpers;
    py::object source = join("", helpers.attr("read_code_from_file")(path));
    // the byte-order mark is no source text; it is put back on suggestions of line 1
    bool marked = truthy(source.attr("startswith")(py::str(kByteOrderMark)));
    if (marked) source = source[py::slice(1, PY_SSIZE_T_MAX, 1)];
    py::object modname = helpers.attr("module_path_from_file")(path);
    py::object view = build_view(path, source, modname);
    call.sources[path] = py::make_tuple(source, modname);
    call.kept[path] = py::list();
    if (marked) call.marked.add(path);
    return view;
}

void skip_file(py::handle path, py::handle reason) {
    state().logger.attr("warning")("Skipped suggestions for %s: %s", path, reason);
}

// Whether `path` names a regular file; a missing one raises the interpreter's error.
bool is_regular_file(py::handle path) {
    py::object st = KORVANE_IMPORTED("os", "stat")(path);
    return truthy(KORVANE_IMPORTED("stat", "S_ISREG")(st.attr("st_mode")));
}

// The file of a group as read once per call: a template's lines or a module's token
// view, or None when it cannot be taken, which is said once per file.  Never read:
// a file outside the project or one that is not a regular file.
py::object file_for(Call& call, py::handle path, bool html) {
    if (call.cache.contains(path)) return call.cache[path];
    py::object taken = py::none();
    try {
        if (!inside_project(call, path)) {
            state().logger.attr("warning")(
                "Skipped suggestions for a file outside the project: %s", path);
        } else if (!is_regular_file(path)) {
            // a pipe or a device would be read for ever
            skip_file(path, py::str("it is not a regular file"));
        } else {
            taken = html ? template_lines(path) : module_view(call, path);
        }
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        if (html && e.matches(PyExc_UnicodeDecodeError)) {
            skip_file(path, py::str("it does not decode as UTF-8"));
        } else {
            skip_file(path, reason_of(e));
        }
    }
    call.cache[path] = taken;
    return taken;
}

// A suggestion that replaces the first line of a file that starts with a byte-order
// mark starts with the mark too, as the line it replaces does.
void with_byte_order_mark(Call& call, py::handle path, std::vector<Suggestion>& suggestions) {
    if (!call.marked.contains(path)) return;
    for (Suggestion& s : suggestions) {
        if (equals(s.first, py::int_(1))) s.text = concat(py::str(kByteOrderMark), s.text);
    }
}

// The producer's answer as suggestions of three values each.
std::vector<Suggestion> unpacked(py::handle answer) {
    std::vector<Suggestion> suggestions;
    for (py::handle item : answer) suggestions.push_back(unpack_suggestion(item));
    return suggestions;
}

// A fresh tree of the module holding the fixes of the groups whose suggestions were
// posted, and no other: a group whose suggestions are dropped may have left edits in
// the tree, which later groups of the module would show as their own.
void restore_view(Call& call, py::handle path) {
    py::tuple source = call.sources[path];
    try {
        py::object view = build_view(path, source[0], source[1]);
        for (py::handle group : call.kept[path])
            replay_fixes(view, group[py::int_(0)], group[py::int_(1)], call.settings_modpath);
        call.cache[path] = view;
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        skip_file(path, reason_of(e));
        call.cache[path] = py::none();
    }
}

std::vector<Suggestion> python_suggestions(Call& call, py::handle path, py::handle line,
                                           py::handle message_ids, py::handle view) {
    py::object answer = state().module.attr("get_suggestions_for_python")(
        py::arg("atok") = view, py::arg("line") = line, py::arg("message_ids") = message_ids,
        py::arg("code_style") = call.code_style,
        py::arg("settings_modpath") = call.settings_modpath);
    std::vector<Suggestion> suggestions = unpacked(answer);
    with_byte_order_mark(call, path, suggestions);
    return suggestions;
}

std::vector<Suggestion> html_suggestions(Call& call, py::handle line, py::handle message_ids,
                                         py::handle lines) {
    return unpacked(state().module.attr("get_suggestions_for_html")(
        py::arg("code_lines") = lines, py::arg("line") = line,
        py::arg("message_ids") = message_ids, py::arg("settings") = call.settings));
}

// The producer's suggestions for one group, by the kind of its file; none for a file
// of another kind or one that cannot be taken.  Whatever fails for the group drops
// its suggestions only, with a warning naming the file and line; a module's tree then
// goes back to the fixes of the suggestions posted.
std::vector<Suggestion> suggestions_for(Call& call, py::handle path, py::handle line,
                                        py::handle message_ids) {
    py::object ends_with = py::reinterpret_borrow<py::object>(path).attr("endswith");
    bool html = truthy(ends_with(".html"));
    if (!html && !truthy(ends_with(".py"))) return {};
    py::object file = file_for(call, path, html);
    if (file.is_none()) return {};
    if (!html) forget_tree_changes(file);
    std::vector<Suggestion> suggestions;
    try {
        suggestions = html ? html_suggestions(call, line, message_ids, file)
                           : python_suggestions(call, path, line, message_ids, file);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        state().logger.attr("warning")("Skipped the suggestion for %s:%s: %s", path, line,
                                       reason_of(e));
        if (!html) restore_view(call, path);
        return {};
    }
    if (html || !tree_changed_by_fixes(file)) return suggestions;
    if (suggestions.empty()) {
        // its edits reach no suggestion (the producer said why)
        restore_view(call, path);
    } else {
        call.kept[path].attr("append")(py::make_tuple(line, message_ids));
    }
    return suggestions;
}

// Posts a suggestion as a comment of its own over the lines it replaces, once per
// file, first line and text within the call.
void emit_standalone(Call& call, py::handle path, const Suggestion& s) {
    py::tuple key = py::make_tuple(path, s.first, s.text);
    if (call.seen.contains(key)) return;
    py::object module = state().module;
    call.result.append(module.attr("build_comment")(
        py::arg("path") = path, py::arg("start_line") = s.first, py::arg("end_line") = s.last,
        py::arg("body") = module.attr("markup_suggestion")(s.text)));
    call.seen.add(key);
}

// One group: the findings of one file line become one comment.  The first suggestion
// that covers the finding line is folded into it and the comment takes that
// suggestion's lines, so its block applies to exactly the lines the comment covers;
// every other suggestion (created imports and code, other edited statements, a second
// answer for the same line) becomes a comment of its own and is never dropped.
void handle_group(Call& call, py::handle key, py::handle items) {
    py::object path = key[py::int_(0)];
    py::object line = key[py::int_(1)];
    py::object start_line = line;
    py::object end_line = line;
    py::list bodies;
    py::set message_ids;
    py::list codes;
    for (py::handle item : items) {
        py::object code = item[KORVANE_NAME("message-id")];
        codes.append(code);
        if (state().constants.attr("TRANSFORMABLE_RULES").contains(code)) message_ids.add(code);
        bodies.append(item[KORVANE_NAME("body")]);
    }
    // A disable pragma names the symbol of every finding of the line that has one,
    // whether a fix exists for it or not.
    if (message_ids.contains(state().constants.attr("SKIP_LINE_ID"))) {
        py::object symbols = import_attr("korvane.staticanalysis.checker", "message_id_symbol_store");
        for (py::handle code : codes)
            if (contains(symbols, code)) message_ids.add(code);
    }
    py::object module = state().module;
    // A finding on no line of the file (line 0) gets its comment only.
    if (!message_ids.empty() && py::cast<long>(line) >= 1) {
        bool folded = false;
        for (const Suggestion& s : suggestions_for(call, path, line, message_ids)) {
            if (!folded && covers(s, line)) {
                bodies.insert(0, module.attr("markup_suggestion")(s.text));
                start_line = s.first;
                end_line = s.last;
                folded = true;
                // A later group's stand-alone copy of this block adds nothing.
                call.seen.add(py::make_tuple(path, s.first, s.text));
            } else {
                emit_standalone(call, path, s);
            }
        }
    }
    call.result.append(module.attr("build_comment")(
        py::arg("path") = path, py::arg("start_line") = start_line,
        py::arg("end_line") = end_line, py::arg("body") = join(kBodySeparator, bodies)));
}

py::list suggest_fixes(py::object comments, py::object project_root) {
    State& s = state();
    Call call;
    call.code_style = s.meta.attr("get_code_style")(project_root);
    call.settings["STATIC_URL"] = s.meta.attr("get_static_url_setting")(project_root);
    call.settings_modpath = s.meta.attr("get_settings_modpath")(project_root);
    call.root = KORVANE_IMPORTED("os", "path").attr("realpath")(project_root);
    py::object groups = s.module.attr("group_comments_by_line")(comments);
    for (py::handle pair : groups.attr("items")()) {
        handle_group(call, pair[py::int_(0)], pair[py::int_(1)]);
    }
    call.cache.clear();
    return call.result;
}

}  // namespace

void register_driver(py::module_& m) {
    m.def("suggest_fixes", &suggest_fixes, py::arg("comments"), py::arg("project_root"),
          "Turns the host's finding comments into review comments with suggested code.");
    m.def("group_comments_by_line", &group_comments_by_line, py::arg("comments"),
          "Copies of the finding comments grouped by (path, integer line), in first-seen "
          "order.");
    m.def("build_comment", &build_comment, py::arg("path"), py::arg("start_line"),
          py::arg("end_line"), py::arg("body"),
          "A review comment over one line, or over a range when the lines differ.");
    m.def("markup_suggestion", &markup_suggestion, py::arg("suggestion"),
          "The suggestion block that carries the replacement code.");
}

}  // namespace korvane::suggest

// The fixer that the change producer hands to the analysis: each module with a
// fixable finding is fixed where the analysis checked it, right after, with the
// trees it built still at hand.
//
// One module: its text read as the interpreter reads it, its tree recorded, the fix
// table run on the nodes of its reported findings only, and the fixed text made of the
// original with only what the fixes changed edited, each touched statement formatted
// in the project's style.  The fixed text is offered only when it compiles, binds every
// name the fixes made it read, and a lint of it no longer reports the findings it
// answered and reports nothing new; any other module is skipped with the reason.  What
// the fixes could not answer is named, with the reason a declining fix gave.
#include "transformer.hpp"

#include <korvane/project_files.hpp>
#include <korvane/text.hpp>

#include <map>
#include <set>
#include <string>
#include <utility>

namespace korvane::transformer {

namespace {

// The outcome kinds, as the producer reads them.
constexpr const char* kFixed = "fixed";
constexpr const char* kSkipped = "skipped";
constexpr const char* kUnchanged = "unchanged";

// A module that cannot be fixed, with the reason.
struct Skip {
    py::str reason;
};

// The module's text as the interpreter reads it (coding cookie or byte-order mark,
// else UTF-8; line ends made "\n"), and the sha256 of its bytes in `digest`.  A text
// whose lines end in more than one way is refused: the fixed file is written back with
// one line end.
py::object read_module(py::handle filepath, py::object& digest) {
    py::object data;
    try {
        data = read_and_close(py::module_::import("builtins").attr("open")(filepath, "rb"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        throw Skip{py::str("it cannot be read: {}").format(e.value())};
    }
    digest = py::module_::import("hashlib").attr("sha256")(data).attr("hexdigest")();
    auto count = [&data](const char* what) { return py::cast<long>(data.attr("count")(py::bytes(what))); };
    long crlf = count("\r\n"), cr = count("\r"), lf = count("\n");
    if (cr != crlf || (crlf > 0 && lf != crlf)) throw Skip{py::str("its lines end in more than one way")};
    try {
        py::object lines = py::module_::import("io").attr("BytesIO")(data).attr("readline");
        py::object encoding = py::module_::import("tokenize").attr("detect_encoding")(lines)[py::int_(0)];
        py::object stream = py::module_::import("io").attr("TextIOWrapper")(
            py::module_::import("io").attr("BytesIO")(data), py::arg("encoding") = encoding);
        return read_and_close(stream);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_UnicodeError) && !e.matches(PyExc_LookupError))
            throw;
        throw Skip{py::str("it does not decode: {}").format(e.value())};
    }
}

// code -> the lines it was reported on.
py::dict reported_lines(py::handle findings) {
    py::dict reported;
    for (py::handle finding : findings) {
        py::object code = finding[py::int_(0)];
        if (!reported.contains(code)) reported[code] = py::set();
        reported[code].cast<py::set>().add(finding[py::int_(1)]);
    }
    return reported;
}

// Whether a finding on `line` is the one a fix ran for on `node`: the line is one of
// the node's, or the first of its statement.
bool names_node(py::handle node, py::handle line) {
    try {
        long at = py::cast<long>(line);
        long first = py::cast<long>(node.attr("fromlineno"));
        long last = py::cast<long>(node.attr("tolineno"));
        long statement = py::cast<long>(node.attr("statement")().attr("fromlineno"));
        return at == statement || (first <= at && at <= last);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return false;
    } catch (const py::cast_error&) {
        return false;
    }
}

using Finding = std::pair<std::string, long>;

// The findings (code, line) that a fix answered: a fix ran on their node, and the
// statement holding it is no longer as it was.
std::set<Finding> answered(py::handle atok, py::handle findings, py::handle hits) {
    py::object suggest = state().suggest;
    std::set<Finding> done;
    std::vector<std::pair<py::object, py::object>> changed;  // (code, node) of changed statements
    for (py::handle hit : hits) {
        py::object node = hit[py::int_(1)];
        py::object statement = node.attr("statement")();
        if (!truthy(suggest.attr("is_unchanged")(atok, statement)))
            changed.push_back({hit[py::int_(0)], node});
    }
    for (py::handle finding : findings) {
        py::object code = finding[py::int_(0)];
        for (auto& [hit_code, node] : changed) {
            if (equals(hit_code, code) && names_node(node, finding[py::int_(1)])) {
                done.insert({py::cast<std::string>(code), py::cast<long>(finding[py::int_(1)])});
                break;
            }
        }
    }
    return done;
}

std::map<std::string, long> counted(py::handle findings) {
    std::map<std::string, long> counts;
    for (py::handle finding : findings) ++counts[py::cast<std::string>(finding[py::int_(0)])];
    return counts;
}

// Why a lint of the fixed text refuses it: a code reported more often than the
// original's findings less those the fixes answered.  Empty when it passes.
py::object refusal(py::handle findings, const std::set<Finding>& done, py::handle after) {
    std::map<std::string, long> before = counted(findings), now = counted(after);
    std::map<std::string, long> answered_count;
    for (const Finding& f : done) ++answered_count[f.first];
    for (const auto& [code, count] : now) {
        long allowed = before[code] - answered_count[code];
        if (count <= allowed) continue;
        if (before[code] == 0)
            return py::str("a lint of the fixed text reports {}, which the module did not").format(code);
        return py::str("a lint of the fixed text still reports {} {} time(s)").format(code, count);
    }
    return py::none();
}

// The fixed text: the original with only what the fix table changed edited, and each
// touched statement formatted in `code_style`; the hits of the fix table in `hits`.
py::object fixed_text(py::handle code, py::handle filepath, py::handle modname,
                      py::handle settings_modpath, py::handle findings, py::handle code_style,
                      py::object& atok, py::list& hits) {
    State& s = state();
    try {
        atok = s.helpers.attr("build_atok")(code, py::arg("modname") = modname,
                                            py::arg("absolute_path") = filepath);
    } catch (py::error_already_set& e) {
        if (!e.matches(KORVANE_IMPORTED("astroid", "AstroidSyntaxError"))) throw;
        throw Skip{py::str("it does not parse: {}").format(e.value())};
    }
    s.suggest.attr("record_tree")(atok);
    // a fix that declines says why here
    atok.attr("tree").attr("declined_fixes") = py::list();
    py::object visitor = KORVANE_IMPORTED("astroid.transforms", "TransformVisitor")();
    register_fix_table(visitor, py::list(), settings_modpath, reported_lines(findings), hits);
    visitor.attr("visit")(atok.attr("tree"));
    return s.suggest.attr("edited_text")(atok, py::arg("code_style") = code_style);
}

// Why no fix answered a finding: the reason a fix gave for its node when it declined,
// or the reason the edits left its fixed statement out of the text, else the plain
// fact.
py::object unanswered_reason(py::handle atok, py::handle code, py::handle line) {
    for (py::handle declined : atok.attr("tree").attr("declined_fixes")) {
        if (equals(declined[py::int_(0)], code) && names_node(declined[py::int_(1)], line))
            return declined[py::int_(2)];
    }
    py::object unwritten = getattr_or_null(atok, KORVANE_NAME("unwritten_fixes"));
    if (unwritten) {
        for (py::handle note : unwritten)
            if (names_node(note[py::int_(0)], line)) return note[py::int_(1)];
    }
    return py::str("no fix changed it");
}

// "path:line: CODE: reason" of each fixable finding that no fix answered.
py::list unanswered(py::handle filepath, py::handle findings, const std::set<Finding>& done,
                    py::handle atok) {
    py::frozenset codes = fixed_codes();
    py::list notes;
    for (py::handle finding : findings) {
        py::object code = finding[py::int_(0)];
        if (!codes.contains(code)) continue;
        Finding key{py::cast<std::string>(code), py::cast<long>(finding[py::int_(1)])};
        if (done.count(key)) continue;
        py::object line = finding[py::int_(1)];
        notes.append(py::str("{}:{}: {}: {}").format(filepath, line, code, unanswered_reason(atok, code, line)));
    }
    return notes;
}

// Refuses a fixed text that does not compile, or that reads a name the fixes
// introduced where nothing binds it (it would raise NameError).
void check_runs(py::handle source, py::handle text, py::handle filepath, py::handle modname) {
    try {
        py::module_::import("builtins").attr("compile")(text, filepath, "exec");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError)) throw;
        throw Skip{py::str("the fixed text does not compile: {}").format(e.value())};
    }
    py::object unbound = unbound_new_name(source, text, filepath, modname);
    if (unbound) throw Skip{py::str("the fixed text reads {}, which nothing in the module binds").format(unbound)};
}

// The settings module the settings fixes judge the module against: the module itself
// when the analysis reported a settings finding on it (it checked the module as one of
// the project's settings modules), else the project's.
py::object settings_module_for(py::handle self, py::handle modname, py::handle findings) {
    py::frozenset settings_codes = fixed_settings_codes();
    for (py::handle finding : findings)
        if (settings_codes.contains(finding[py::int_(0)])) return py::reinterpret_borrow<py::object>(modname);
    return self.attr("settings_modpath");
}

py::tuple outcome(py::handle filepath, const char* kind, py::object payload, py::object notes,
                  py::object digest = py::none()) {
    return py::make_tuple(filepath, py::str(kind), payload, notes, digest);
}

py::tuple fix_module(py::object self, py::object filepath, py::object modname, py::object findings,
                     py::object lint, py::object unchecked) {
    if (!unchecked.is_none()) return outcome(filepath, kSkipped, unchecked, py::list());
    py::object source;
    py::object digest = py::none();
    py::object atok;
    py::list hits;
    try {
        source = read_module(filepath, digest);
        py::object text = fixed_text(source, filepath, modname,
                                     settings_module_for(self, modname, findings), findings,
                                     self.attr("code_style"), atok, hits);
        std::set<Finding> done = answered(atok, findings, hits);
        py::list notes = unanswered(filepath, findings, done, atok);
        if (equals(text, source)) return outcome(filepath, kUnchanged, py::none(), notes);
        check_runs(source, text, filepath, modname);
        py::object refused = refusal(findings, done, lint(text));
        if (!refused.is_none()) throw Skip{refused};
        return outcome(filepath, kFixed, text, notes, digest);
    } catch (Skip& skip) {
        return outcome(filepath, kSkipped, skip.reason, py::list());
    } catch (py::error_already_set& e) {
        // Recursion in the tree library, memory for one odd module, a fix that fails:
        // this module is skipped, the others are still fixed.
        if (!is_ordinary(e) && !e.matches(PyExc_MemoryError)) throw;
        return outcome(filepath, kSkipped,
                       py::str("fixing it failed: {}: {}").format(type_name(e.value()), e.value()),
                       py::list());
    }
}

void fixer_init(py::object self, py::object settings_modpath, py::object code_style) {
    self.attr("settings_modpath") = settings_modpath;
    self.attr("code_style") = code_style;
    self.attr("codes") = fixed_codes();
    self.attr("outcomes") = py::list();
}

}  // namespace

void register_project_fixer(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid", "AstroidSyntaxError");
    py::dict ns;
    ns["__doc__"] = py::str(
        "Fixes one module of an analysis where the analysis checked it: called with its "
        "path, module name, findings (code, line), a lint of a text, and why it cannot "
        "have the module (the analysis could not check it), or None; answers (path, kind, text or reason, notes, sha256 "
        "of the bytes read or None), kind being fixed, unchanged or skipped, each note 'path:line: CODE: reason' of a "
        "finding no fix answered.  `codes` are the codes it answers; the "
        "analysis appends each answer to `outcomes`.");
    py::object cls = make_class(m, "ProjectFixer", py::make_tuple(), ns);
    def_init(cls, &fixer_init, py::arg("settings_modpath"), py::arg("code_style"));
    def_method(cls, "__call__", &fix_module, py::arg("filepath"), py::arg("modname"),
               py::arg("findings"), py::arg("lint"), py::arg("unchecked") = py::none());
}

}  // namespace korvane::transformer

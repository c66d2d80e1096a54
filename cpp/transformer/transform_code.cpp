// transform_code: one source text with every fix applied, rendered with its comments
// and blank lines, formatted at a fixed line length, with the codes the unfixed text
// raises.
#include "transformer.hpp"

namespace korvane::transformer {

namespace {

// The fixed text is formatted at this line length whatever the project's own black
// configuration: the fix road's one house style.
constexpr int kLineLength = 79;

// The module name of a path: every ".py" removed, then every "/" made a ".".
py::object module_name_of(py::handle filepath) {
    return filepath.attr("replace")(".py", "").attr("replace")("/", ".");
}

// The findings of the linter on `code` (the text as given, not the fixed one).
py::object lint_messages(py::object code, py::object filepath, py::object settings_modpath) {
    State& s = state();
    py::object linter =
        s.checker.attr("create_linter")(py::arg("linter_class") = s.checker.attr("CodeLinter"));
    py::list settings_files;
    settings_files.append(settings_modpath);
    linter.attr("set_option")("settings-files", settings_files);
    py::list files;
    files.append(filepath);
    linter.attr("check")(code, py::arg("files_or_modules") = files);
    return linter.attr("reporter").attr("messages");
}

// The codes of the findings, less those in `noise`.
py::set reasons_of(py::handle messages, py::handle noise) {
    py::set reasons;
    for (py::handle item : messages) {
        // the record is read once for the test and once for the value
        if (!korvane::contains(noise, item[py::str("message-id")]))
            reasons.add(item[py::str("message-id")]);
    }
    return reasons;
}

// Each reported code with the lines it was reported on.
py::dict reported_lines(py::handle messages) {
    py::dict reported;
    for (py::handle item : messages) {
        py::object code_id = item[py::str("message-id")];
        if (!reported.contains(code_id)) reported[code_id] = py::set();
        reported[code_id].cast<py::set>().add(item[py::str("line")]);
    }
    return reported;
}

py::tuple transform_code(py::object code, py::object filepath, py::object settings_modpath,
                         py::object noise) {
    State& s = state();
    // Comments and blank lines need no placeholders: the fixed text is the original
    // with only what the fixes changed edited.
    py::object atok = s.helpers.attr("build_atok")(
        code, py::arg("modname") = module_name_of(filepath), py::arg("absolute_path") = filepath);
    py::object tree = atok.attr("tree");
    // The lint reads `code` itself, so it runs before the fixes as well as after them.
    py::object messages = lint_messages(code, filepath, settings_modpath);
    py::object visitor = KORVANE_IMPORTED("astroid.transforms", "TransformVisitor")();
    register_fix_table(visitor, noise, settings_modpath, reported_lines(messages), py::none());
    s.suggest.attr("record_tree")(atok);
    visitor.attr("visit")(tree);
    py::object transformed = s.suggest.attr("edited_text")(atok);
    py::set reasons = reasons_of(messages, noise);
    py::dict code_style;
    code_style["line_length"] = kLineLength;
    py::object target = s.suggest.attr("get_comma_character_target")(atok.attr("text"));
    py::object formatted = s.suggest.attr("format_code")(
        transformed, py::arg("indentation") = "", py::arg("code_style") = code_style,
        py::arg("comma_character_target") = target);
    return py::make_tuple(formatted, reasons);
}

}  // namespace

void register_transform_code(py::module_& m) {
    m.def("transform_code", &transform_code, py::arg("code"), py::arg("filepath"), py::arg("settings_modpath"),
        py::arg("noise") = state().default_noise,
        "Applies every fix to `code` and returns (the fixed, formatted text, the set of "
        "message codes the unfixed text raises less those in `noise`).");
}

}  // namespace korvane::transformer

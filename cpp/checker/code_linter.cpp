// Linting one source text held in memory: the file descriptor record, the linter
// that parses the stored text instead of reading files, and `check_code`.
#include "checker.hpp"

namespace korvane::checker {

namespace {

// The module name of a path: every ".py" removed, every "/" made a ".".
py::object module_name_of(py::handle path) {
    return path.attr("replace")(".py", "").attr("replace")("/", ".");
}

py::object get_ast_impl(py::object self, py::object filepath, py::object modname) {
    State& s = state();
    py::object code = self.attr("korvane_provided_code");
    py::object atok;
    try {
        atok = s.helpers.attr("build_atok")(code, py::arg("modname") = modname,
                                            py::arg("absolute_path") = filepath);
    } catch (py::error_already_set& e) {
        if (!e.matches(s.AstroidSyntaxError)) throw;
        // reported like the file-based linter does: E0001, nothing read from disk
        py::object error = korvane::getattr_or_null(e.value(), KORVANE_NAME("error"));
        add_syntax_error(self, error && !error.is_none() ? error : e.value(), filepath, code);
        return py::none();
    }
    py::object tree = atok.attr("tree");
    store_as_declared(tree, code);
    try {
        check_names(tree);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        // The plug-ins never see a tree whose names do not infer.  Reported as a
        // finding here, so that the library writes no crash report about the path.
        self.attr("add_message")("astroid-error", py::arg("args") = py::make_tuple(
                                                      e.type(), e.value()));
        return py::none();
    }
    return tree;
}

}  // namespace

// Infers every name of the tree once.  A name that does not infer (one the module
// never binds, a library's value astroid cannot follow) is only a node without a
// finding; any other error of the tree library propagates.
void check_names(py::handle tree) {
    py::object nodes = tree.attr("nodes_of_class")(state().astroid_Name);
    py::handle inference_error = KORVANE_IMPORTED("astroid.exceptions", "InferenceError");
    for (py::handle node : nodes) {
        try {
            py::object values = korvane::iter_of(node.attr("infer")());
            PyObject* first = PyIter_Next(values.ptr());
            if (!first && PyErr_Occurred()) throw py::error_already_set();
            Py_XDECREF(first);
        } catch (py::error_already_set& e) {
            if (!e.matches(inference_error)) throw;
        }
    }
}

void register_file_item(py::module_& m) {
    State& s = state();
    py::list fields;
    py::object str_type = py::reinterpret_borrow<py::object>((PyObject*)&PyUnicode_Type);
    fields.append(py::make_tuple("name", str_type));
    fields.append(py::make_tuple("filepath", str_type));
    fields.append(py::make_tuple("modpath", str_type));
    py::object cls = s.NamedTuple("FileItem", fields);
    cls.attr("__module__") = m.attr("__name__");
    cls.attr("__qualname__") = "FileItem";
    m.attr("FileItem") = cls;
    s.FileItem = cls;
}

namespace {

// CodeLinter.check: keeps the text for `get_ast`, then runs the linter's check.
py::object code_linter_check(py::object self, py::object code, py::args args, py::kwargs kwargs) {
    self.attr("korvane_provided_code") = code;
    return state().Linter.attr("check")(self, *args, **kwargs);
}

// The descriptor of one path: its module name, the path, the module name again.
py::object describe_path(py::object path) {
    py::object name = module_name_of(path);
    return state().FileItem(name, path, name);
}

// The file descriptors of the paths, made lazily: map() makes a descriptor when the
// library asks for it.
py::object iterate_file_descrs(py::object, py::object files_or_modules) {
    py::cpp_function describe(&describe_path, py::name("describe"));
    return py::module_::import("builtins").attr("map")(describe, files_or_modules);
}

py::object code_linter_get_ast(py::object self, py::object filepath, py::object modname, py::object) {
    return get_ast_impl(self, filepath, modname);
}

// Lints one source text under `filepath` with the one settings module given, and
// hands every finding to the renderer.
py::object check_code(py::object code, py::object filepath, py::object settings_modpath) {
    State& s = state();
    py::object linter = create_linter(s.CodeLinter, py::int_(0));
    py::list settings_files;
    settings_files.append(settings_modpath);
    linter.attr("set_option")("settings-files", settings_files);
    py::list files;
    files.append(filepath);
    linter.attr("check")(code, py::arg("files_or_modules") = files);
    py::object messages = linter.attr("reporter").attr("messages");
    log_fatal_records(messages);
    py::cpp_function code_reader([code](py::object) { return code; }, py::name("code_reader"));
    return s.render.attr("render_message_centric_advice")(
        py::arg("messages") = messages, py::arg("settings") = py::dict(),
        py::arg("settings_modpath") = settings_modpath, py::arg("code_style") = py::dict(),
        py::arg("code_reader") = code_reader);
}

}  // namespace

void register_code_linter(py::module_& m) {
    State& s = state();
    py::dict ns;
    ns["__doc__"] = "The linter for one source text held in memory; no file is read.";
    py::object cls = korvane::make_class(m, "CodeLinter", py::make_tuple(s.Linter), ns);
    s.CodeLinter = cls;
    korvane::def_method(cls, "check", &code_linter_check, py::arg("code"));
    korvane::def_method(cls, "_iterate_file_descrs", &iterate_file_descrs,
                        py::arg("files_or_modules"));
    korvane::def_method(cls, "get_ast", &code_linter_get_ast, py::arg("filepath"),
                        py::arg("modname"), py::arg("data") = py::none());
    m.def("check_code", &check_code, py::arg("code"), py::arg("filepath"),
          py::arg("settings_modpath"),
          "Lints one source text under `filepath` and returns the renderer's advice.");
}

void register_check_names(py::module_& m) {
    m.def("check_names", &check_names, py::arg("tree"),
          "Infers every name of the tree once; a name that does not infer is passed over, "
          "any other error propagates.");
}

}  // namespace korvane::checker

// Loading the module's libraries and siblings, the plug-in registries, the
// code-to-symbol table and `create_linter`.
#include "checker.hpp"

#include <korvane/pylint_import.hpp>

namespace korvane::checker {

namespace {

py::object import(const char* name) { return py::module_::import(name); }

// Code to symbol for every row of every class, in order; a later class wins.
py::dict symbol_store(py::handle classes) {
    py::dict store;
    for (py::handle cls : classes) {
        py::object rows = cls.attr("msgs").attr("items")();
        for (py::handle row : rows) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(row);
            py::object entry = pair[1];
            py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(entry.ptr()));
            if (!items) throw py::error_already_set();
            if (items.size() != 3) {
                PyErr_Format(PyExc_ValueError,
                             "message entry of %R must have exactly 3 items (template, "
                             "symbol, description), not %zd",
                             pair[0].ptr(), (Py_ssize_t)items.size());
                throw py::error_already_set();
            }
            store[pair[0]] = items[1];
        }
    }
    return store;
}

// One option declaration of the driver: name, default, type, metavar, help.
struct DriverOption {
    const char* name;
    const char* default_text;  // null: a new empty list
    const char* type;
    const char* metavar;
    const char* help;
};

// The driver's options, in the order they are handed to the linter.  The Django
// version defaults to "3.3", one minor release past the newest that the version
// tables know (3.2): the analysis road always sets the project's version, so the
// default holds only for a linter built elsewhere (single-text linting, the code
// transformer), which thus counts as checking a Django newer than any known one.
const DriverOption kDriverOptions[] = {
    {"settings-files", nullptr, "csv", "<file>[,<file>...]",
     "Specify which files are django settings files. They should be import paths."},
    {"root-urlconf", "", "string", "<str>", "Specify the ROOT_URLCONF import path to use."},
    {"django-version", "3.3", "string", "<str>", "Specify the Django version being checked."},
};

// A tuple, not a list: the library appends its own option tuple to it.
py::tuple driver_options() {
    py::list declarations;
    for (const DriverOption& option : kDriverOptions) {
        py::dict spec;
        if (option.default_text)
            spec["default"] = option.default_text;
        else
            spec["default"] = py::list();
        spec["type"] = option.type;
        spec["metavar"] = option.metavar;
        spec["help"] = option.help;
        declarations.append(py::make_tuple(option.name, spec));
    }
    return py::tuple(declarations);
}

// The library's enable and disable of a whole category ("W", "R") iterate the
// message store's per-category list, looked up with `get`: for a category no message
// is registered in, that answers None and the call fails with a TypeError.  The
// driver's linter loads none of the library's checkers, so no R or W message is
// registered; empty lists make a configuration that disables (or enables) them a
// harmless no-op.
void empty_refactor_and_warning_categories(py::handle linter) {
    py::object by_category = linter.attr("msgs_store").attr("_msgs_by_category");
    by_category[py::str("R")] = py::list();
    by_category[py::str("W")] = py::list();
}

}  // namespace

void register_imports(py::module_& m) {
    State& s = state();
    // libraries
    m.attr("logging") = import("logging");
    s.Path = import("pathlib").attr("Path");
    m.attr("Path") = s.Path;
    m.attr("itertools") = import("itertools");
    py::object astroid = import("astroid");
    m.attr("astroid") = astroid;
    s.astroid_Name = astroid.attr("Name");
    s.AstroidSyntaxError = astroid.attr("AstroidSyntaxError");
    s.AstroidError = astroid.attr("AstroidError");
    s.SpecifierSet = import("packaging.specifiers").attr("SpecifierSet");
    m.attr("SpecifierSet") = s.SpecifierSet;
    korvane::import_pylint();
    py::object lint = import("pylint.lint");
    m.attr("lint") = lint;
    s.PyLinter = lint.attr("PyLinter");
    s.JSONReporter = import("pylint.reporters").attr("JSONReporter");
    m.attr("JSONReporter") = s.JSONReporter;
    py::object tokenize = import("tokenize");
    m.attr("tokenize") = tokenize;
    s.tokenize_COMMENT = tokenize.attr("COMMENT");
    s.NamedTuple = import("typing").attr("NamedTuple");
    m.attr("NamedTuple") = s.NamedTuple;
    s.os_path_abspath = import("os.path").attr("abspath");

    // the checker plug-ins, in load order
    for (const char* name : {"admin", "migrations", "colspecs", "memberorder", "ormcalls",
                             "settings", "urls", "templates"}) {
        m.attr(name) = korvane::import_sibling((std::string("checkers.") + name).c_str());
    }
}

// The progress display: rich's, or a mock that accepts everything and draws nothing.
void register_progress(py::module_& m) {
    try {
        m.attr("Progress") = import("rich.progress").attr("Progress");
        return;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    py::object mock = import("unittest.mock").attr("MagicMock");
    m.attr("MagicMock") = mock;
    m.attr("Progress") = mock;
}

void register_tables(py::module_& m) {
    py::list python_classes;
    for (const char* name :
         {"admin", "settings", "colspecs", "memberorder", "migrations", "ormcalls", "urls"}) {
        python_classes.append(m.attr(name).attr("Checker"));
    }
    m.attr("python_checker_classes") = python_classes;
    py::list html_classes;
    html_classes.append(m.attr("templates").attr("Checker"));
    m.attr("html_checker_classes") = html_classes;

    py::list all;
    for (py::handle cls : python_classes) all.append(cls);
    for (py::handle cls : html_classes) all.append(cls);
    m.attr("message_id_symbol_store") = symbol_store(all);
}

py::object create_linter(py::object linter_class, py::object jobs) {
    State& s = state();
    py::object reporter = s.Reporter();

    py::object linter =
        linter_class(py::arg("reporter") = reporter, py::arg("options") = driver_options());
    empty_refactor_and_warning_categories(linter);

    int is_zero = PyObject_RichCompareBool(jobs.ptr(), py::int_(0).ptr(), Py_EQ);
    if (is_zero < 0) throw py::error_already_set();
    linter.attr("set_option")("jobs", is_zero ? py::none() : jobs);

    // read at each call, so the registry as the module holds it now is used
    py::object classes = s.module.attr("python_checker_classes");
    py::object register_checker = linter.attr("register_checker");
    for (py::handle cls : classes) {
        register_checker(cls(linter));
    }
    return linter;
}

py::list get_all_message_codes() {
    py::list codes;
    py::list names = py::reinterpret_steal<py::list>(PyObject_Dir(state().wordings.ptr()));
    if (!names) throw py::error_already_set();
    if (PyList_Sort(names.ptr()) < 0) throw py::error_already_set();
    for (py::handle name : names) {
        std::string text = py::cast<std::string>(name);
        if (text.rfind("__", 0) != 0) codes.append(name);
    }
    return codes;
}

void set_config_option(py::handle linter, py::handle name, py::handle value) {
    // The linter's own set_option knows only the linter's options; a checker's
    // option goes to the checker that declares it.  An unknown name falls through to
    // the linter, whose error names it.
    py::object all = korvane::getattr_or_null(linter, KORVANE_NAME("_all_options"));
    if (all && PyDict_Check(all.ptr())) {
        PyObject* provider = PyDict_GetItemWithError(all.ptr(), name.ptr());
        if (!provider && PyErr_Occurred()) throw py::error_already_set();
        if (provider && provider != linter.ptr()) {
            linter.attr("global_set_option")(name, value);
            return;
        }
    }
    linter.attr("set_option")(name, value);
}

// The fatal records, at debug level: the analysis road names the file of each once as
// not analysed, and the single-text road hands them on with its other records.
void log_fatal_records(py::handle records) {
    py::object debug = state().logger.attr("debug");
    py::str fatal("fatal");
    for (py::handle record : records) {
        if (!PyDict_Check(record.ptr())) continue;
        PyObject* type = PyDict_GetItemWithError(record.ptr(), KORVANE_NAME("type").ptr());
        if (!type) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        int eq = PyObject_RichCompareBool(type, fatal.ptr(), Py_EQ);
        if (eq < 0) throw py::error_already_set();
        if (eq) debug(py::str("Fatal message: ") + py::str(record));
    }
}

void register_create_linter(py::module_& m) {
    m.def("create_linter", &create_linter, py::arg("linter_class"), py::arg("jobs") = 0,
          "Builds a linter of `linter_class` with a new Reporter, the driver's three "
          "options and every Python checker plug-in registered in registry order.");
    m.def("get_all_message_codes", &get_all_message_codes,
          "The reportable message codes: the public attribute names of `wordings`.");
}

}  // namespace korvane::checker

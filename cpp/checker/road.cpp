// The analysis road: configuration, Django version, the template pass, the Python
// pass with its filters, and the project version record.
#include "checker.hpp"

#include <korvane/text.hpp>

namespace korvane::checker {

namespace {

// The change set's value for `path`; a null object when the path is no key of it.
py::object range_of(py::handle files, py::handle path) {
    PyObject* value = PyObject_GetItem(files.ptr(), path.ptr());
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return py::object();
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

// Whether a record at `line` of a file lies in the file's range: every line when the
// range is None, else the lines it holds.
bool in_range(py::handle range, py::handle line) {
    if (range.is_none()) return true;
    int r = PySequence_Contains(range.ptr(), line.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The project's own Django files (manage.py, the settings modules, the dependency
// files and setup.py) steer the road but are no part of what it reports on.  When one
// of them does not read or parse, the step that reads it is logged as an error naming
// the file and the road goes on without its answer; the file itself, when it is in
// the change set, gets its findings from the lint pass like any other module.  Only
// ordinary errors are caught: an interrupt ends the road.

void log_road_failure(py::str what, py::error_already_set& e) {
    py::object value = e.value();
    if (e.trace() && !e.trace().is_none()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
    py::str text = py::str("{}: {}: {}").format(what, e.type().attr("__name__"), value);
    state().logger.attr("error")(text, py::arg("exc_info") = value);
}

// The dependency files and setup.py that version resolution reads in the project
// root, as the text "requirements.txt, setup.py"; empty when none is there.
py::str version_sources(py::handle project_root) {
    State& s = state();
    py::list names;
    for (py::handle name : s.dependencies.attr("dparse_file_types")) names.append(name);
    names.append(py::str("setup.py"));
    py::list present;
    py::object root = s.Path(project_root);
    for (py::handle name : names) {
        try {
            if (korvane::truthy(root.attr("joinpath")(name).attr("exists")())) present.append(name);
        } catch (py::error_already_set& e) {
            if (!korvane::is_ordinary(e)) throw;
        }
    }
    return py::str(", ").attr("join")(present);
}

py::str version_step(const char* step, py::handle project_root) {
    py::str sources = version_sources(project_root);
    if (!korvane::truthy(sources)) return py::str("{} of {}").format(step, project_root);
    return py::str("{} of {} from {}").format(step, project_root, sources);
}

// The version details of the project, or None when its files do not resolve.
py::object resolve_version_on_road(py::handle project_root) {
    try {
        return state().dependencies.attr("resolve_django_version")(project_root);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        log_road_failure(version_step("Failed to resolve the Django version", project_root), e);
        return py::none();
    }
}

py::list get_meta_messages(py::object project_root);

// The project version record, or none when the project's files do not resolve.
py::list meta_messages_on_road(py::handle project_root) {
    try {
        return get_meta_messages(py::reinterpret_borrow<py::object>(project_root));
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        log_road_failure(version_step("Failed to build the project version record", project_root), e);
        return py::list();
    }
}

// The settings modules that the project's manage.py declares, or none when manage.py
// (or the settings directory it leads to) does not read.
py::list settings_files_on_road(py::handle project_root) {
    State& s = state();
    try {
        return py::list(s.meta.attr("get_settings_files")(project_root));
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        py::object manage_file;
        try {
            manage_file = s.meta.attr("get_manage_file")(project_root);
        } catch (py::error_already_set& again) {
            if (!korvane::is_ordinary(again)) throw;
        }
        log_road_failure(manage_file ? py::str("Failed to read the settings modules from {}").format(manage_file)
                                     : py::str("Failed to find the settings modules of {}").format(project_root),
                         e);
        return py::list();
    }
}

// The file of a settings module, for naming it; the module path itself when it does
// not resolve.
py::object settings_file_of(py::handle module) {
    try {
        return KORVANE_IMPORTED("astroid.modutils", "file_from_modpath")(module.attr("split")("."));
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return py::reinterpret_borrow<py::object>(module);
    }
}

// ROOT_URLCONF of the first settings module that gives one, in order; None when a
// settings module that mentions it does not read, which ends the search.
py::object root_urlconf_on_road(py::handle settings_files) {
    py::object get_root_urlconf = state().meta.attr("get_root_urlconf");
    for (py::handle module : settings_files) {
        py::list one;
        one.append(module);
        py::object value;
        try {
            value = get_root_urlconf(one);
        } catch (py::error_already_set& e) {
            if (!korvane::is_ordinary(e)) throw;
            log_road_failure(py::str("Failed to get ROOT_URLCONF from {}").format(settings_file_of(module)), e);
            return py::none();
        }
        if (korvane::truthy(value)) return value;
    }
    return py::none();
}

// The configuration keys that name messages or files: one text (a comma-separated
// list for the linter) or a list of texts.  Another value raises a TypeError naming
// the key before anything is analysed.
void check_config(py::handle config) {
    for (const char* name : {"disable", "enable", "ignore"}) {
        py::str key(name);
        PyObject* raw = PyObject_GetItem(config.ptr(), key.ptr());
        if (!raw) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
            PyErr_Clear();
            continue;
        }
        py::object value = py::reinterpret_steal<py::object>(raw);
        if (PyUnicode_Check(value.ptr())) continue;
        py::object fault;
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
            for (py::handle item : value) {
                if (!PyUnicode_Check(item.ptr())) {
                    fault = py::str("a list holding {}").format(type_name(item));
                    break;
                }
            }
            if (!fault) continue;
        } else {
            fault = type_name(value);
        }
        PyErr_SetObject(PyExc_TypeError,
                        py::str("configuration key \"{}\" must be a text or a list of texts, not {}")
                            .format(key, fault)
                            .ptr());
        throw py::error_already_set();
    }
}

// `set_config_option` for one configuration entry.  The library's checks of a value of
// the wrong type fail with an AttributeError or TypeError that names neither key nor
// value; they are raised again as a TypeError that names the key.
void set_entry(py::handle linter, py::handle key, py::handle value) {
    try {
        set_config_option(linter, key, value);
        note_option(linter, key, value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) throw;
        py::object message = py::str("invalid value for configuration key {!r}: {!r} ({})")
                                 .format(key, value, e.value());
        py::object error = py::reinterpret_borrow<py::object>(PyExc_TypeError)(message);
        py::object cause = e.value();
        PyException_SetCause(error.ptr(), cause.inc_ref().ptr());
        PyException_SetContext(error.ptr(), cause.inc_ref().ptr());
        PyErr_SetObject(PyExc_TypeError, error.ptr());
        throw py::error_already_set();
    }
}

py::list get_html_messages(py::object files, py::object config) {
    State& s = state();
    check_config(config);
    py::list paths;
    for (py::handle key : files) {
        if (ends_with(key, ".html") && is_template_file(key)) paths.append(key);
    }
    py::object linter = s.HtmlLinter();
    linter.attr("check")(paths);

    py::object disable = config.attr("get")("disable", py::list());
    py::list result;
    for (py::handle record : linter.attr("messages")) {
        py::object range = range_of(files, record[py::str("path")]);
        if (!range || !in_range(range, record[py::str("line")])) continue;
        int disabled = PySequence_Contains(disable.ptr(), record[py::str("message-id")].ptr());
        if (disabled < 0) throw py::error_already_set();
        if (!disabled) result.append(record);
    }
    return result;
}

// Sets the linter's options for one pass: the configuration's entries (except the
// directories to walk, which the road does not read), then the Django version, the
// settings modules and ROOT_URLCONF.
void configure_linter(py::handle linter, py::handle project_root, py::handle django_version,
                      py::object config) {
    py::str directories("directories");
    for (auto item : py::reinterpret_borrow<py::dict>(py::dict(config))) {
        int same = PyObject_RichCompareBool(item.first.ptr(), directories.ptr(), Py_EQ);
        if (same < 0) throw py::error_already_set();
        if (!same) set_entry(linter, item.first, item.second);
    }
    py::object set_option = linter.attr("set_option");
    auto set_and_note = [&](const char* name, py::object value) {
        set_option(name, value);
        note_option(linter, py::str(name), value);
    };
    set_and_note("django-version", py::reinterpret_borrow<py::object>(django_version));
    set_and_note("settings-files", settings_files_on_road(project_root));
    py::object root_urlconf = root_urlconf_on_road(linter.attr("config").attr("settings_files"));
    set_and_note("root-urlconf", root_urlconf.is_none() ? py::str("") : root_urlconf);
}

// A record's path relative to the project root, or a null object for an absolute path
// outside it (outside the change set, so the record is dropped).
// `root` and `root_abs` are the root as given and made absolute.
py::object path_in_root(py::object path, py::handle root, py::handle root_abs) {
    if (!korvane::truthy(path.attr("is_absolute")())) return path;
    for (py::handle base : {root, root_abs}) {
        try {
            return path.attr("relative_to")(base);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::object();
}

// The records in the change set's order of files, each file's own in the order they
// were reported: the order of one job, whichever worker answered first.
py::list in_change_set_order(py::list records, py::handle python_files) {
    py::dict position;
    Py_ssize_t n = 0;
    for (py::handle key : python_files) position[key] = py::int_(n++);
    py::int_ last(n);
    py::cpp_function key([position, last](py::handle record) -> py::object {
        PyObject* at = PyDict_GetItemWithError(position.ptr(), record[py::str("path")].ptr());
        if (!at && PyErr_Occurred()) throw py::error_already_set();
        return at ? py::reinterpret_borrow<py::object>(at) : py::object(last);
    });
    return py::module_::import("builtins").attr("sorted")(records, py::arg("key") = key);
}

// The records with a reportable code that lie on the change set's lines, their paths
// relative to the project root, in the change set's order of files.  Each file that has
// a fatal record (it could not be checked) is noted in `unanalysed` as (path, reason),
// once.
py::list records_in_change_set(py::handle records, py::handle project_root,
                               py::handle python_files, py::list& unanalysed) {
    State& s = state();
    py::list in_range_records;
    py::list codes = get_all_message_codes();
    py::object root = s.Path(project_root);
    py::object root_abs = s.Path(s.os_path_abspath(project_root));
    py::str path_key("path");
    py::set noted;
    for (py::handle record : records) {
        if (is_text(record[py::str("type")], "fatal")) {
            py::object path = path_in_root(s.Path(record[path_key]), root, root_abs);
            py::str text(path ? path : s.Path(record[path_key]));
            if (!noted.contains(text)) {
                noted.add(text);
                unanalysed.append(py::make_tuple(
                    text, py::str("{}: {}").format(record[py::str("symbol")], record[py::str("message")])));
            }
        }
        int reportable = PySequence_Contains(codes.ptr(), record[py::str("message-id")].ptr());
        if (reportable < 0) throw py::error_already_set();
        if (!reportable) continue;
        py::object path = path_in_root(s.Path(record[path_key]), root, root_abs);
        if (!path) continue;
        py::str text(path);
        record[path_key] = text;
        py::object range = range_of(python_files, text);
        if (range && in_range(range, record[py::str("line")])) in_range_records.append(record);
    }
    return in_change_set_order(in_range_records, python_files);
}

py::object get_python_messages(py::object project_root, py::object files,
                             py::object django_version, py::object config, py::object jobs,
                             py::object fixer) {
    State& s = state();
    check_config(config);
    py::object linter = create_linter(s.Linter, jobs);
    configure_linter(linter, project_root, django_version, config);
    if (!fixer.is_none()) set_fixer(linter, fixer);

    py::dict python_files;
    py::list paths;
    for (py::handle key : files) {
        if (ends_with(key, ".py")) {
            if (!is_lintable(key)) continue;
            python_files[key] = files[key];
            paths.append(key);
        }
    }
    note_null_scope(linter, project_root, paths);
    {
        // The fix pass of an analysis that ran here uses its set-up too.
        AnalysisScope scope;
        linter.attr("check")(py::arg("files_or_modules") = paths);
        apply_null_index(linter);
        if (!fixer.is_none()) fix_in_process(linter);
    }

    py::object records = linter.attr("reporter").attr("messages");
    log_fatal_records(records);
    py::list unanalysed;
    py::list kept = records_in_change_set(records, project_root, python_files, unanalysed);
    py::object result = s.AnalysisRecords(kept);
    result.attr("unanalysed") = unanalysed;
    return result;
}

py::list get_meta_messages(py::object project_root) {
    State& s = state();
    py::object details = s.dependencies.attr("resolve_django_version")(project_root);
    py::list result;
    if (!korvane::truthy(details)) return result;
    py::object specifier = s.SpecifierSet(details[py::str("specs")]);
    // Every release from 2.0.0 to 3.2.29: the patch releases of each minor version
    // known after 1.11, as far as the longest-lived of them goes.
    py::list potential_versions;
    for (int major : {2, 3})
        for (int minor = 0; minor <= 2; ++minor)
            for (int patch = 0; patch <= 29; ++patch)
                potential_versions.append(py::str(std::to_string(major) + "." +
                                                  std::to_string(minor) + "." +
                                                  std::to_string(patch)));
    py::dict body;
    body["specs"] = details[py::str("specs")];
    body["minor"] = details[py::str("version")];
    body["matching_versions"] = py::list(specifier.attr("filter")(potential_versions));
    py::dict record;
    record["message-id"] = "C1000";
    record["path"] = details[py::str("path")];
    record["message_type"] = "meta";
    record["body"] = body;
    result.append(record);
    return result;
}

py::object get_messages(py::object project_root, py::object files,
                        py::object default_django_version, py::object config, py::object jobs,
                        py::object fixer) {
    State& s = state();
    files = change_set_in_project(project_root, files);
    py::dict merged;
    py::object update = merged.attr("update");
    update(s.meta.attr("get_toml_config")(project_root));
    update(config);
    s.logger.attr("debug")(py::str("Using config: ") + py::str(merged) + py::str("\n"));
    check_config(merged);

    py::object details = resolve_version_on_road(project_root);
    py::object django_version =
        korvane::truthy(details) ? py::object(details[py::str("version")]) : default_django_version;

    py::list html_messages = get_html_messages(files, merged);
    py::object python_messages =
        get_python_messages(project_root, files, django_version, merged, jobs, fixer);

    py::object messages = s.AnalysisRecords();
    messages.attr("unanalysed") = python_messages.attr("unanalysed");
    for (py::handle r : python_messages) messages.attr("append")(r);
    for (py::handle r : html_messages) messages.attr("append")(r);
    int wants_meta = PySequence_Contains(files.ptr(), py::str("META").ptr());
    if (wants_meta < 0) throw py::error_already_set();
    if (wants_meta) {
        for (py::handle r : meta_messages_on_road(project_root)) messages.attr("append")(r);
    }
    return messages;
}

// HtmlLinter.check: every template checker class over the paths, the findings
// collected in `messages`.
void html_linter_check(py::object self, py::object files) {
    py::object messages = self.attr("messages");
    for (py::handle checker_class : state().module.attr("html_checker_classes")) {
        py::object checker = checker_class();
        checker.attr("check")(files);
        messages.attr("extend")(checker.attr("messages"));
    }
}

}  // namespace

void register_road(py::module_& m) {
    State& s = state();

    m.def("get_python_messages", &get_python_messages, py::arg("project_root"),
          py::arg("files"), py::arg("django_version"), py::arg("config") = py::dict(),
          py::arg("jobs") = 0, py::arg("fixer") = py::none(),
          "Lints the change set's .py paths; returns the records with reportable codes "
          "on its lines, paths relative to the project root.  A fixer is given every "
          "module with a finding it answers, once every file is checked.");
    m.def("get_html_messages", &get_html_messages, py::arg("files"),
          py::arg("config") = py::dict(),
          "Runs the template checkers over the change set's .html paths; returns the "
          "records on its lines whose code is not disabled.");
    m.def("get_messages", &get_messages, py::arg("project_root"), py::arg("files"),
          py::arg("default_django_version") = "3.2", py::arg("config") = py::dict(),
          py::arg("jobs") = 0, py::arg("fixer") = py::none(),
          "Analyses a change set of a project: Python records, then template records, "
          "then the project version record when the change set holds \"META\".  A fixer "
          "(the change producer's) is given every module with a finding it answers, in "
          "the processes that checked them.");
    m.def("get_meta_messages", &get_meta_messages, py::arg("project_root"),
          "The project version record (C1000), or an empty list.");

    py::dict records_ns;
    records_ns["__doc__"] = py::str(
        "The records of an analysis, a list; `unanalysed` holds (path, reason) for each "
        "module that could not be checked (its fatal record is no finding).");
    s.AnalysisRecords = korvane::make_class(
        m, "AnalysisRecords",
        py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyList_Type))),
        records_ns);
    py::dict ns;
    ns["__doc__"] = "Runs every template checker class over a list of paths.";
    py::object cls = korvane::make_class(m, "HtmlLinter", py::make_tuple(), ns);
    s.HtmlLinter = cls;
    korvane::def_init(cls, [](py::object self) { self.attr("messages") = py::list(); });
    korvane::def_method(cls, "check", &html_linter_check, py::arg("files"));
}

}  // namespace korvane::checker

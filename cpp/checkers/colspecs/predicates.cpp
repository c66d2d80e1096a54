// The nine predicates on one model field declaration (a `Call`) or one of its
// keywords.  Each answers None for a node of another kind, else its deciding value;
// none raises an ordinary error.
#include "colspecs.hpp"

#include <korvane/call_arguments.hpp>
#include <korvane/constructors.hpp>
#include <korvane/text.hpp>

namespace korvane::colspecs {

namespace {

// The class name of an inferred field instance, or null when it has none.
py::object inferred_name(py::handle inferred) {
    return getattr_or_null(inferred, KORVANE_NAME("name"));
}

bool name_is(py::handle inferred, const py::str& expected) {
    py::object name = inferred_name(inferred);
    return name && equals(name, expected);
}

bool name_in(py::handle inferred, const py::str& set_name) {
    py::object name = inferred_name(inferred);
    if (!name) return false;
    int r = PySequence_Contains(helper(set_name).ptr(), name.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object explicit_arguments(py::handle call) {
    return helper(KORVANE_NAME("get_node_explicit_arguments"))(call);
}

py::object default_arguments(py::handle call) {
    return ask_helper(KORVANE_NAME("get_node_default_arguments"), call);
}

// The constructor defaults updated with the call's own keywords.
py::dict merged_from(py::handle defaults, py::handle explicit_args) {
    py::dict merged;
    merged.attr("update")(defaults);
    merged.attr("update")(explicit_args);
    return merged;
}

py::dict merged_arguments(py::handle call) {
    py::object defaults = default_arguments(call);
    return merged_from(defaults, explicit_arguments(call));
}

// Whether the field's choices offer None as a value: its NULL is one of them.
bool offers_none_choice(py::handle explicit_args) {
    py::object choices = get_item(explicit_args, KORVANE_NAME("choices"));
    if (choices.is_none() || !korvane::isinstance(choices, KORVANE_IMPORTED("collections.abc", "Iterable")) ||
        PyUnicode_Check(choices.ptr()))
        return false;
    for (py::handle choice : choices) {
        if ((PyTuple_Check(choice.ptr()) || PyList_Check(choice.ptr())) && py::len(choice) == 2 &&
            py::reinterpret_borrow<py::object>(choice)[py::int_(0)].is_none())
            return true;
    }
    return false;
}

// Whether code relies on the field being NULL: its choices, the project's index when
// one is set, and the model's own module.
bool null_relied_on(py::handle node, py::handle member) {
    if (offers_none_choice(explicit_arguments(node))) return true;
    if (!member || member.is_none()) return false;
    if (in_null_index(member)) return true;
    py::object module = node.attr(KORVANE_NAME("root"))();
    py::object names = state().walk_memo.ask(KORVANE_NAME("null_reliant_names"), module,
                                             [&] { return py::object(null_reliant_names(module)); });
    return contains(names, member);
}

bool is_model_field(py::handle node) {
    return truthy(ask_helper(KORVANE_NAME("is_model_field"), node));
}

// A model field declared in its own right, not as an argument of another field.
bool is_declared_field(py::handle node) {
    return is_model_field(node) && !is_field_argument(node);
}

py::object py_bool(bool value) { return py::bool_(value); }

bool is_true(py::handle value) { return value.ptr() == Py_True; }

// Whether a form can show the field: Django leaves out a field whose `editable` is
// False, given or set by its class's constructor (BinaryField), and a date or time
// field with auto_now or auto_now_add, which its constructor makes not editable.
bool is_editable(py::handle call, py::handle explicit_args) {
    py::object defaults = default_arguments(call);
    py::dict merged = merged_from(defaults, explicit_args);
    if (get_item(merged, KORVANE_NAME("editable")).ptr() == Py_False) return false;
    for (const py::str* name : {&KORVANE_NAME("auto_now"), &KORVANE_NAME("auto_now_add")}) {
        int takes = PySequence_Contains(defaults.ptr(), name->ptr());
        if (takes < 0) throw py::error_already_set();
        if (takes && is_true(get_item(explicit_args, *name))) return false;
    }
    return true;
}

// The interpreter's library folders: the standard library and the installed
// packages, each with its links followed and a separator at its end.
py::list library_folders() {
    py::list folders;
    py::object real = KORVANE_IMPORTED("os.path", "realpath");
    py::str sep = KORVANE_IMPORTED("os", "sep");
    py::object paths = KORVANE_IMPORTED("sysconfig", "get_paths")();
    for (const char* key : {"stdlib", "platstdlib", "purelib", "platlib"})
        if (paths.contains(key)) folders.append(korvane::concat(real(paths[key]), sep));
    py::module_ site = py::module_::import("site");
    if (py::hasattr(site, "getsitepackages"))
        for (py::handle folder : site.attr("getsitepackages")()) folders.append(korvane::concat(real(folder), sep));
    return folders;
}

// Whether a file is part of an installed library (Django, another package, the
// standard library) rather than of the project: it lies in a library folder or in a
// package folder of another interpreter.
bool is_library_file(py::handle file) {
    static py::object& folders = korvane::keep(library_folders());
    py::str path = KORVANE_IMPORTED("os.path", "realpath")(file);
    for (py::handle folder : folders)
        if (truthy(path.attr("startswith")(folder))) return true;
    py::list parts = path.attr("split")(KORVANE_IMPORTED("os", "sep"));
    return parts.contains("site-packages") || parts.contains("dist-packages");
}

// is_library_file of a module's file, answered once per file; a tree built from text
// is the project's.
bool is_library_module(py::handle module) {
    static py::object& known = korvane::keep(py::dict());  // file -> answer
    py::object file = getattr_or_null(module, KORVANE_NAME("file"));
    if (!file || !PyUnicode_Check(file.ptr())) return false;
    PyObject* answer = PyDict_GetItemWithError(known.ptr(), file.ptr());
    if (!answer && PyErr_Occurred()) throw py::error_already_set();
    if (answer) return answer == Py_True;
    bool library = is_library_file(file);
    known[file] = py::bool_(library);
    return library;
}

// Whether a constructor's parameters of the kind `kind` (`args`: positional ones that
// a keyword can name, `kwonlyargs`) hold one named `arg`.
bool takes_parameter(py::handle args, const py::str& kind, py::handle arg) {
    py::object parameters = getattr_or_null(args, kind);
    if (!parameters || parameters.is_none()) return false;
    for (py::handle parameter : parameters)
        if (equals(parameter.attr(KORVANE_NAME("name")), arg)) return true;
    return false;
}

// Whether the keyword `arg` of a field call goes where the project defines what it
// means, with a default the comparison with the defaults table cannot see: the
// `**kwargs` of a project constructor, which may read it with a default of its own
// (`kwargs.get("null", True)`), or a keyword-only parameter of one (the table holds
// positional defaults).  Following the field class's ancestry, the first constructor
// that takes the keyword by name, or takes no `**kwargs`, ends the search.
bool reaches_project_kwargs(py::handle call, py::handle arg) {
    py::object inferred =
        state().walk_memo.ask(KORVANE_NAME("safe_infer"), call, [&] { return safe_infer(call); });
    if (inferred.is_none()) return false;
    // A class of a library stands on library classes alone: its ancestry is not walked.
    py::object cls_node = getattr_or_null(inferred, KORVANE_NAME("_proxied"));
    if (cls_node && is_library_module(cls_node.attr(KORVANE_NAME("root"))())) return false;
    for (py::handle cls : inferred.attr(KORVANE_NAME("mro"))()) {
        if (!contains(cls.attr(KORVANE_NAME("locals")), KORVANE_NAME("__init__"))) continue;
        py::object function = korvane::constructor_function(cls);
        if (!function) continue;
        py::object args = function.attr(KORVANE_NAME("args"));
        bool project = !is_library_module(function.attr(KORVANE_NAME("root"))());
        if (takes_parameter(args, KORVANE_NAME("kwonlyargs"), arg)) return project;
        if (takes_parameter(args, KORVANE_NAME("args"), arg) || !truthy(args.attr(KORVANE_NAME("kwarg"))))
            return false;
        if (project) return true;
    }
    return false;
}

}  // namespace

bool is_field_argument(py::handle call) {
    return korvane::is_field_argument(call, &is_model_field);
}

py::object is_redundant_kwargs(py::object node) {
    py::object call = node.attr(KORVANE_NAME("parent"));
    if (!is_declared_field(call)) return py::none();
    py::object defaults = default_arguments(call);
    py::object arg = node.attr(KORVANE_NAME("arg"));
    int has = PySequence_Contains(defaults.ptr(), arg.ptr());
    if (has < 0) throw py::error_already_set();
    if (!has) return py::none();
    // A project field class that reads its keywords itself decides what each means.
    if (reaches_project_kwargs(call, arg)) return py_bool(false);
    py::object value = helper(KORVANE_NAME("astroid_node_to_value"))(node.attr(KORVANE_NAME("value")));
    // On a nullable field, blank=False says the field is required in forms although
    // the database takes NULL: a choice, not a repeated default.
    if (equals(arg, KORVANE_NAME("blank")) && value.ptr() == Py_False &&
        truthy(get_item(explicit_arguments(call), KORVANE_NAME("null"))))
        return py_bool(false);
    return py_bool(equals(value, defaults[arg]));
}

py::object has_redundant_kwargs(py::object node) {
    py::object keywords = node.attr(KORVANE_NAME("keywords"));
    if (keywords.is_none()) return py_bool(false);
    py::object predicate = module_attr(KORVANE_NAME("is_redundant_kwargs"));
    for (py::handle keyword : keywords)
        if (truthy(predicate(keyword))) return py_bool(true);
    return py_bool(false);
}

py::object is_null_stringfield(py::object node) {
    if (!is_declared_field(node)) return py_bool(false);
    py::object frame = node.attr(KORVANE_NAME("frame"))();
    if (truthy(ask_helper(KORVANE_NAME("is_model"), frame))) {
        // The object-id field of a generic foreign key may be a nullable string.
        py::object generic_ids = getattr_or_null(frame, KORVANE_NAME("generic_foreign_key_field_names"));
        if (generic_ids) {
            py::object member = helper(KORVANE_NAME("get_member_name"))(node);
            int r = PySequence_Contains(generic_ids.ptr(), member.ptr());
            if (r < 0) throw py::error_already_set();
            if (r) return py_bool(false);
        }
    }
    py::object inferred = safe_infer(node);
    if (inferred.is_none()) return py::none();
    py::dict merged = merged_arguments(node);
    if (!name_in(inferred, KORVANE_NAME("DJANGO_STRING_FIELDS"))) return py::none();
    py::object null = get_item(merged, KORVANE_NAME("null"));
    // Django asks for null=True on a string field that is both unique and blank: with
    // the empty text instead, a second blank value would break the unique constraint.
    if (truthy(null) && is_true(get_item(merged, KORVANE_NAME("unique"))) &&
        is_true(get_item(merged, KORVANE_NAME("blank"))))
        return py_bool(false);
    // Where code tells NULL apart from the empty text, NULL has a meaning of its own
    // that an empty default would lose.
    if (truthy(null) && null_relied_on(node, helper(KORVANE_NAME("get_member_name"))(node)))
        return py_bool(false);
    return null;
}

py::object is_fk_mising_related_name(py::object node) {
    py::object inferred = safe_infer(node);
    if (inferred.is_none() || !name_is(inferred, KORVANE_NAME("ForeignKey"))) return py::none();
    py::object klass = node.attr(KORVANE_NAME("frame"))();
    py::object explicit_args = explicit_arguments(node);
    if (truthy(get_item(explicit_args, KORVANE_NAME("related_name")))) return py_bool(false);
    bool abstract = truthy(helper(KORVANE_NAME("is_node_abstract_model"))(klass));
    return py_bool(!abstract);
}

py::object is_missing_blank_true(py::object node) {
    if (!is_declared_field(node)) return py_bool(false);
    py::object inferred = safe_infer(node);
    if (inferred.is_none()) return py::none();
    if (name_in(inferred, KORVANE_NAME("DJANGO_STRING_FIELDS"))) return py::none();
    if (name_in(inferred, KORVANE_NAME("DJANGO_BOOLEAN_FIELDS"))) return py::none();
    py::object explicit_args = explicit_arguments(node);
    py::object null = get_item(explicit_args, KORVANE_NAME("null"));
    if (!truthy(null)) return null;
    // blank written out, True or False: the developer has chosen what forms ask for
    int blank = PySequence_Contains(explicit_args.ptr(), KORVANE_NAME("blank").ptr());
    if (blank < 0) throw py::error_already_set();
    if (blank) return py_bool(false);
    if (!is_editable(node, explicit_args)) return py_bool(false);
    return py_bool(get_item(explicit_args, KORVANE_NAME("default")).is_none());
}

py::object is_huge_char_field(py::object node) {
    if (!is_declared_field(node)) return py_bool(false);
    py::object inferred = safe_infer(node);
    if (inferred.is_none() || !name_is(inferred, KORVANE_NAME("CharField"))) return py::none();
    py::object max_length = get_item(merged_arguments(node), KORVANE_NAME("max_length"));
    if (!truthy(max_length)) return py_bool(false);  // a falsy length counts as 0
    // A length that is no number (a name bound elsewhere, a call, other text) is not
    // huge: the declaration is left alone rather than ending the lint run.
    PyObject* number = PyNumber_Long(max_length.ptr());
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
            PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return py_bool(false);
        }
        throw py::error_already_set();
    }
    py::object length = py::reinterpret_steal<py::object>(number);
    py::object limit = module_attr(KORVANE_NAME("MAX_CHARFIELD_LENGTH"));
    int r = PyObject_RichCompareBool(length.ptr(), limit.ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    return py_bool(r == 1);
}

py::object is_nullboolean(py::object node) {
    if (!is_declared_field(node)) return py_bool(false);
    py::object inferred = safe_infer(node);
    if (!truthy(inferred)) return inferred;
    return py_bool(name_is(inferred, KORVANE_NAME("NullBooleanField")));
}

py::object is_non_unique_fk(py::object node) {
    py::object explicit_args = explicit_arguments(node);
    py::dict merged = merged_from(default_arguments(node), explicit_args);
    py::object primary_key = get_item(merged, KORVANE_NAME("primary_key"));
    if (!truthy(primary_key)) return primary_key;
    py::object unique = explicit_args.attr(KORVANE_NAME("get"))(KORVANE_NAME("unique"), py::bool_(true));
    return py_bool(unique.ptr() == Py_False);
}

py::object is_fragile_unique_for(py::object keyword_node) {
    py::object arg = keyword_node.attr(KORVANE_NAME("arg"));
    for (const py::str* name : {&KORVANE_NAME("unique_for_date"), &KORVANE_NAME("unique_for_month"),
                                &KORVANE_NAME("unique_for_year")})
        if (equals(arg, *name)) return py_bool(true);
    return py::none();
}

namespace {

// What a predicate answers when inference cannot cope with the code (a constructor
// bound in an odd way, a hierarchy without a method resolution order, a library brain
// that fails): the declaration is passed over.
py::object answer_false() { return py_bool(false); }

template <py::object (*Predicate)(py::object)>
constexpr auto offered = &korvane::never_raising<Predicate, answer_false>;

}  // namespace

void register_predicates(py::module_& m) {
    m.attr("MAX_CHARFIELD_LENGTH") = kMaxCharfieldLength;
    m.def("is_redundant_kwargs", offered<is_redundant_kwargs>, py::arg("node"),
          "Whether a keyword of a field declaration repeats the field class's default.");
    m.def("has_redundant_kwargs", offered<has_redundant_kwargs>, py::arg("node"),
          "Whether any keyword of a field declaration repeats its default.");
    m.def("is_null_stringfield", offered<is_null_stringfield>, py::arg("node"),
          "Whether a string field allows NULL.");
    m.def("is_fk_mising_related_name", offered<is_fk_mising_related_name>, py::arg("node"),
          "Whether a ForeignKey of a concrete model has no related_name.");
    m.def("is_missing_blank_true", offered<is_missing_blank_true>, py::arg("node"),
          "Whether a nullable non-string, non-boolean field is neither blank nor defaulted.");
    m.def("is_huge_char_field", offered<is_huge_char_field>, py::arg("node"),
          "Whether a CharField's max_length exceeds MAX_CHARFIELD_LENGTH.");
    m.def("is_nullboolean", offered<is_nullboolean>, py::arg("node"),
          "Whether a field is a NullBooleanField.");
    m.def("is_non_unique_fk", offered<is_non_unique_fk>, py::arg("node"),
          "Whether a primary key is declared with unique=False.");
    m.def("is_fragile_unique_for", offered<is_fragile_unique_for>, py::arg("keyword_node"),
          "Whether a keyword is one of the unique_for_date/month/year options.");
}

}  // namespace korvane::colspecs

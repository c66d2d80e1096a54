// The five model field fixes and the fix factory that pairs them with their
// predicates.  Each fix edits the callee and keyword list of a declaration in place
// and returns the same `Call`.
#include "colspecs.hpp"

#include <korvane/declined_fixes.hpp>
#include <korvane/fix_rows.hpp>

namespace korvane::colspecs {

namespace {

py::object const_node(py::object value) {
    return helper(KORVANE_NAME("const_factory"))(value);
}

py::object new_keyword(const char* arg) {
    return KORVANE_IMPORTED("astroid", "Keyword")(py::str(arg));
}

// The call's keyword list, made an empty list first when the call has none.
py::list keyword_list(py::handle node) {
    py::object keywords = node.attr(KORVANE_NAME("keywords"));
    if (keywords.is_none()) {
        keywords = py::list();
        node.attr(KORVANE_NAME("keywords")) = keywords;
    }
    return keywords;
}

void add_keyword(py::handle node, py::handle keyword) {
    helper(KORVANE_NAME("add_to_keywords"))(py::arg("keywords") = node.attr(KORVANE_NAME("keywords")),
                                            py::arg("keyword") = keyword);
}

bool arg_is(py::handle keyword, const py::str& name) {
    return equals(keyword.attr(KORVANE_NAME("arg")), name);
}

py::object reduce_value(py::handle node) {
    return helper(KORVANE_NAME("astroid_node_to_value"))(node);
}

// Sets the value of the first keyword named `arg` to `value`, or adds such a keyword.
void set_or_add_keyword(py::handle node, const char* arg, py::object value) {
    py::list keywords = keyword_list(node);
    for (py::handle keyword : keywords) {
        if (arg_is(keyword, arg)) {
            keyword.attr(KORVANE_NAME("value")) = value;
            return;
        }
    }
    py::object keyword = new_keyword(arg);
    keyword.attr(KORVANE_NAME("value")) = value;
    add_keyword(node, keyword);
}

// Unpacks one `choices` item into its (value, label) pair, raising what the
// interpreter's own two-target unpacking raises.
py::object choice_value(py::handle item) {
    PyObject* it = PyObject_GetIter(item.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(it);
    py::object parts[2];
    for (int got = 0; got < 3; ++got) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            if (got == 2) return parts[0];
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
            throw py::error_already_set();
        }
        py::object value = py::reinterpret_steal<py::object>(next);
        if (got == 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw py::error_already_set();
        }
        parts[got] = value;
    }
    return parts[0];
}

// The keywords of a nullable string field's declaration that its fix edits; null
// where the declaration has none.
struct NullFieldKeywords {
    py::object null, blank, default_value;
};

// Whether a `choices` keyword offers the empty text as a value.
bool choices_offer_empty(py::handle keyword) {
    py::object choices = reduce_value(keyword.attr(KORVANE_NAME("value")));
    if (!korvane::isinstance(choices, KORVANE_IMPORTED("collections.abc", "Iterable")))
        return false;
    for (py::handle item : choices)
        if (equals(choice_value(item), KORVANE_NAME(""))) return true;
    return false;
}

// Finds the null, blank and default keywords, and whether the empty text can be the
// field's value: not when the choices do not offer it, nor when the field is unique
// (several empty strings would break a unique column).  Every case that leaves the
// declaration unchanged is found here, before any edit: null where the empty text
// serves, else why it does not.
const char* empty_default_refused(const py::list& keywords, NullFieldKeywords& found) {
    for (py::handle keyword : keywords) {
        if (arg_is(keyword, KORVANE_NAME("null"))) {
            found.null = py::reinterpret_borrow<py::object>(keyword);
        } else if (arg_is(keyword, KORVANE_NAME("blank"))) {
            found.blank = py::reinterpret_borrow<py::object>(keyword);
        } else if (arg_is(keyword, KORVANE_NAME("default"))) {
            found.default_value = py::reinterpret_borrow<py::object>(keyword);
        } else if (arg_is(keyword, KORVANE_NAME("choices"))) {
            if (!choices_offer_empty(keyword)) return "the field has choices without an empty value";
        } else if (arg_is(keyword, KORVANE_NAME("unique"))) {
            if (reduce_value(keyword.attr(KORVANE_NAME("value"))).ptr() == Py_True) return "the field is unique";
        }
    }
    return nullptr;
}

// Sets blank=True, on the given keyword or on a new one placed at the call's line.
void set_blank_true(py::handle node, py::object blank_kw) {
    if (!blank_kw) {
        blank_kw = KORVANE_IMPORTED("astroid", "Keyword")(
            py::arg("arg") = "blank", py::arg("lineno") = node.attr(KORVANE_NAME("lineno")),
            py::arg("parent") = node);
        add_keyword(node, blank_kw);
    }
    blank_kw.attr(KORVANE_NAME("value")) = const_node(py::bool_(true));
}

// Makes the empty text the default in place of null=True: the null keyword becomes
// the default where there is no default yet, and is dropped where there is one.
void set_empty_default(py::handle node, const py::list& keywords, const NullFieldKeywords& found) {
    py::object empty = const_node(KORVANE_NAME(""));
    if (found.null && found.default_value) {
        found.default_value.attr(KORVANE_NAME("value")) = empty;
        keywords.attr("remove")(found.null);
    } else if (found.null) {
        found.null.attr(KORVANE_NAME("arg")) = "default";
        found.null.attr(KORVANE_NAME("value")) = empty;
    } else if (found.default_value) {
        found.default_value.attr(KORVANE_NAME("value")) = empty;
    } else {
        py::object keyword = new_keyword("default");
        keyword.attr(KORVANE_NAME("value")) = empty;
        add_keyword(node, keyword);
    }
}

}  // namespace

py::object transform_add_blank_true(py::object node) {
    py::object written = helper(KORVANE_NAME("get_function_name"))(node);
    int r = PySequence_Contains(helper(KORVANE_NAME("DJANGO_STRING_FIELDS")).ptr(), written.ptr());
    if (r < 0) throw py::error_already_set();
    if (r) return node;
    set_or_add_keyword(node, "blank", const_node(py::bool_(true)));
    return node;
}

namespace {

// Makes the declaration create the field class `new_name`; false, with the reason
// told to the caller, where the module cannot name that class.
bool renamed_field_class(py::handle node, const char* code, const char* new_name) {
    py::object refused = respell_field_class(node, new_name);
    if (!refused) return true;
    decline_fix(node, code, refused);
    return false;
}

}  // namespace

py::object transform_nullboolean(py::object node) {
    if (!renamed_field_class(node, "C2008", "BooleanField")) return node;
    set_or_add_keyword(node, "null", const_node(py::bool_(true)));
    return node;
}

py::object transform_huge_char_field(py::object node) {
    if (!renamed_field_class(node, "C2006", "TextField")) return node;
    py::object keywords = node.attr(KORVANE_NAME("keywords"));
    if (!truthy(keywords)) return node;
    Py_ssize_t n = py::len(keywords);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (arg_is(keywords[py::int_(i)], "max_length")) {
            if (PySequence_DelItem(keywords.ptr(), i) < 0) throw py::error_already_set();
            break;
        }
    }
    return node;
}

// The keywords dropped are those the finding names: each that `is_redundant_kwargs`
// holds for, asked before any is dropped.
py::object transform_redundant_kwargs(py::object node) {
    py::object keywords = node.attr(KORVANE_NAME("keywords"));
    if (keywords.is_none()) return node;
    py::object redundant_test = module_attr(KORVANE_NAME("is_redundant_kwargs"));
    std::vector<Py_ssize_t> redundant;
    Py_ssize_t position = 0;
    for (py::handle keyword : keywords) {
        if (truthy(redundant_test(keyword))) redundant.push_back(position);
        ++position;
    }
    for (auto it = redundant.rbegin(); it != redundant.rend(); ++it)
        if (PySequence_DelItem(keywords.ptr(), *it) < 0) throw py::error_already_set();
    return node;
}

py::object transform_null_to_default_str(py::object node) {
    py::list keywords = keyword_list(node);
    NullFieldKeywords found;
    if (const char* refused = empty_default_refused(keywords, found)) {
        decline_fix(node, "C2000", py::str(refused));
        return node;
    }
    set_blank_true(node, found.blank);
    set_empty_default(node, keywords, found);
    return node;
}

namespace {

// The fixable codes, each with its fix and the predicate that picks the calls it
// applies to, both module attributes.
const FixRow kFixes[] = {
    {"C2000", &astroid_call, "transform_null_to_default_str", "is_null_stringfield"},
    {"C2002", &astroid_call, "transform_redundant_kwargs", "has_redundant_kwargs"},
    {"C2003", &astroid_call, "transform_add_blank_true", "is_missing_blank_true"},
    {"C2006", &astroid_call, "transform_huge_char_field", "is_huge_char_field"},
    {"C2008", &astroid_call, "transform_nullboolean", "is_nullboolean"},
};

}  // namespace

// The requested codes are compared without the identity shortcut, as every equality
// of this module is.
py::object build_transformer_visitor(py::object message_ids) {
    py::object visitor = helper(KORVANE_NAME("NodeTransformVisitor"))();
    register_fix_rows(visitor, state().module, message_ids, kFixes, &equals);
    return visitor;
}

void register_fixes(py::module_& m) {
    m.def("transform_null_to_default_str", &transform_null_to_default_str, py::arg("node"),
          "Makes a nullable string field default to the empty text and blank=True.");
    m.def("transform_redundant_kwargs", &transform_redundant_kwargs, py::arg("node"),
          "Drops every keyword that repeats the field class's default.");
    m.def("transform_add_blank_true", &transform_add_blank_true, py::arg("node"),
          "Gives a nullable field blank=True.");
    m.def("transform_huge_char_field", &transform_huge_char_field, py::arg("node"),
          "Turns a CharField with a huge max_length into a TextField.");
    m.def("transform_nullboolean", &transform_nullboolean, py::arg("node"),
          "Turns a NullBooleanField into a BooleanField with null=True.");
    m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
          "A fix registry holding the fixes of the given message codes.");
}

}  // namespace korvane::colspecs

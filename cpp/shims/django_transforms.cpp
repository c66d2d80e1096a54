// The Django transforms: model classes learn their generic-foreign-key id fields,
// and manager attributes, QuerySet lookups and single-object lookups get an inferred
// value through inference tips; `list()` and `sorted()` of a QuerySet give a plain
// list (list_calls.cpp).
#include "shims.hpp"

namespace korvane::shims {
namespace {

py::object& attribute_class() { return KORVANE_IMPORTED("astroid.nodes", "Attribute"); }

[[noreturn]] void use_inference_default() {
    raise_bare(KORVANE_IMPORTED("astroid.exceptions", "UseInferenceDefault"));
}

// The QuerySet methods that give a QuerySet, and those that give one object.
bool gives_queryset(py::handle name) {
    return equals(name, KORVANE_NAME("all")) || equals(name, KORVANE_NAME("filter")) ||
           equals(name, KORVANE_NAME("exclude"));
}

bool gives_one_object(py::handle name) {
    return equals(name, KORVANE_NAME("first")) || equals(name, KORVANE_NAME("last")) ||
           equals(name, KORVANE_NAME("get"));
}

// `node.func` when it is an attribute node whose name `accepts`, else a null object.
py::object method_callee(py::handle node, bool (*accepts)(py::handle)) {
    py::object func = node.attr(KORVANE_NAME("func"));
    if (!korvane::isinstance(func, attribute_class())) return py::object();
    if (!accepts(func.attr(KORVANE_NAME("attrname")))) return py::object();
    return func;
}

// ---- predicates: None when the node's shape does not fit, else the helpers test ----
// They run on every call and attribute node while a tree is built; an inference that
// fails with any ordinary error answers None, so odd code never stops the build.

py::object answer_none() { return py::none(); }

template <py::object (*Predicate)(py::object)>
constexpr auto offered = &korvane::never_raising<Predicate, answer_none>;

py::object looks_like_model(py::object node) {
    return helpers_test(KORVANE_NAME("is_model"), safe_infer(node));
}

py::object looks_like_model_manager_lookup(py::object node) {
    py::object func = method_callee(node, gives_queryset);
    if (!func) return py::none();
    py::object expr = func.attr(KORVANE_NAME("expr"));
    if (!korvane::isinstance(expr, attribute_class())) return py::none();
    return helpers_test(KORVANE_NAME("is_model_manager"), safe_infer(expr));
}

py::object looks_like_queryset_lookup(py::object node) {
    py::object func = method_callee(node, gives_queryset);
    if (!func) return py::none();
    return helpers_test(KORVANE_NAME("is_queryset"), safe_infer(func.attr(KORVANE_NAME("expr"))));
}

py::object looks_like_model_get(py::object node) {
    py::object func = method_callee(node, gives_one_object);
    if (!func) return py::none();
    py::object expr = func.attr(KORVANE_NAME("expr"));
    if (!korvane::isinstance(expr, attribute_class())) return py::none();
    py::object value = safe_infer(expr);
    py::object manager = helpers_test(KORVANE_NAME("is_model_manager"), value);
    if (truthy(manager)) return manager;
    return helpers_test(KORVANE_NAME("is_queryset"), value);
}

py::object looks_like_model_manager(py::object node) {
    if (!equals(node.attr(KORVANE_NAME("attrname")), KORVANE_NAME("objects")))
        return py::none();
    return helpers_test(KORVANE_NAME("is_model"), safe_infer(node.attr(KORVANE_NAME("expr"))));
}

// ---- tips ----

// Runs a tip body.  The library's inference error travels on: it means there is no
// value.  Any other ordinary error (a missing attribute in the receiver chain, an
// inference that cannot cope with the code) means there is nothing this tip can
// infer, which astroid is told with UseInferenceDefault so that it falls back to its
// own inference.
template <typename Body>
py::object run_tip(Body&& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e) || e.matches(KORVANE_IMPORTED("astroid.exceptions", "InferenceError")))
            throw;
        use_inference_default();
    }
}

// An instance of what `receiver` infers to; UseInferenceDefault when it infers to
// nothing usable.
py::object instance_of(py::handle receiver) {
    py::object value = safe_infer(receiver);
    if (is_nothing(value)) use_inference_default();
    py::object instance = value.attr(KORVANE_NAME("instantiate_class"))();
    if (is_nothing(instance)) use_inference_default();
    return instance;
}

// A new QuerySetNode holding one instance of the class behind `node.func.expr.expr`.
py::object new_queryset(py::handle node) {
    py::object receiver =
        node.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr")).attr(KORVANE_NAME("expr"));
    py::list elements;
    elements.append(instance_of(receiver));
    py::object qs = global(KORVANE_NAME("QuerySetNode")).attr(KORVANE_NAME("from_elements"))(elements);
    py::list result;
    result.append(qs);
    return result;
}

py::object apply_model_manager_lookup_shim(py::object node, py::object) {
    return run_tip([&] { return iter_of(new_queryset(node)); });
}

py::object apply_queryset_lookup_shim(py::object node, py::object) {
    return run_tip([&] {
        py::object value = safe_infer(node.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr")));
        if (truthy(helpers_test(KORVANE_NAME("is_queryset"), value))) {
            py::list result;
            result.append(value);
            return iter_of(result);
        }
        return iter_of(new_queryset(node));
    });
}

py::object apply_model_get_shim(py::object node, py::object) {
    return run_tip([&] {
        py::list result;
        result.append(instance_of(
            node.attr(KORVANE_NAME("func")).attr(KORVANE_NAME("expr")).attr(KORVANE_NAME("expr"))));
        return iter_of(result);
    });
}

// The receiver needs no look: its predicate has accepted it as a model.
py::object apply_model_manager_shim(py::object, py::object) {
    return run_tip([&] {
        py::object manager = global(KORVANE_NAME("astroid")).attr(KORVANE_NAME("MANAGER"));
        py::object module =
            manager.attr(KORVANE_NAME("ast_from_module_name"))("django.db.models.manager");
        py::object bindings = module.attr(KORVANE_NAME("lookup"))("Manager")[py::int_(1)];
        py::object import_from = KORVANE_IMPORTED("astroid.nodes", "ImportFrom");
        py::list result;
        for (py::handle binding : bindings) {
            if (korvane::isinstance(binding, import_from)) continue;
            result.append(binding.attr(KORVANE_NAME("instantiate_class"))());
        }
        if (result.empty()) use_inference_default();
        return iter_of(result);
    });
}

// ---- the generic-foreign-key class transform ----

// The text of a string constant node, else a null object.
py::object string_constant(py::handle node) {
    if (!korvane::isinstance(node, KORVANE_IMPORTED("astroid.nodes", "Const"))) return py::object();
    py::object value = node.attr(KORVANE_NAME("value"));
    if (!PyUnicode_Check(value.ptr())) return py::object();
    return value;
}

// Whether a call creates a GenericForeignKey; a call whose inference fails with any
// ordinary error creates none.
bool creates_generic_fk(py::handle call) {
    py::object value;
    try {
        value = safe_infer(call);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return false;
    }
    if (!truthy(value)) return false;
    py::object name = getattr_or_null(value, KORVANE_NAME("name"));
    return name && equals(name, KORVANE_NAME("GenericForeignKey"));
}

// Appends the id field that a GenericForeignKey call names: its `fk_field` keyword, or
// else its second positional argument.  Only string constants name a field; any other
// fk_field is passed over.
void append_fk_field(py::handle call, py::list& names) {
    py::object keywords = call.attr(KORVANE_NAME("keywords"));
    if (truthy(keywords)) {
        for (py::handle keyword : keywords) {
            py::object arg = keyword.attr(KORVANE_NAME("arg"));
            if (arg.is_none() || !equals(arg, KORVANE_NAME("fk_field"))) continue;
            py::object text = string_constant(keyword.attr(KORVANE_NAME("value")));
            if (text) names.append(text);
        }
        return;
    }
    py::object args = call.attr(KORVANE_NAME("args"));
    if (args.is_none() || py::len(args) < 2) return;
    py::object text = string_constant(args[py::int_(1)]);
    if (text) names.append(text);
}

py::object apply_is_used_in_generic_fk_shim(py::object node) {
    py::list names;
    if (truthy(helpers_test(KORVANE_NAME("is_model"), node))) {
        py::object calls =
            node.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Call"));
        for (py::handle call : calls) {
            if (creates_generic_fk(call)) append_fk_field(call, names);
        }
    }
    node.attr(KORVANE_NAME("generic_foreign_key_field_names")) = names;
    return node;
}

// ---- registration ----

// One Django transform, by module-level names, so that a patched function is the one
// registered: the node class of astroid it applies to, the transform (wrapped as an
// inference tip where `is_tip`), and the predicate that selects the nodes.
struct TransformRow {
    const char* node_class;
    const char* transform;
    bool is_tip;
    const char* predicate;
};

// In the order they are registered.
const TransformRow kTransforms[] = {
    {"ClassDef", "apply_is_used_in_generic_fk_shim", false, "looks_like_model"},
    {"Call", "apply_model_manager_lookup_shim", true, "looks_like_model_manager_lookup"},
    {"Call", "apply_queryset_lookup_shim", true, "looks_like_queryset_lookup"},
    {"Call", "apply_model_get_shim", true, "looks_like_model_get"},
    {"Attribute", "apply_model_manager_shim", true, "looks_like_model_manager"},
    {"Call", "apply_list_call_shim", false, "looks_like_list_call"},
};

void register_transforms(py::object manager) {
    py::object module = state().module;
    py::object register_transform = manager.attr(KORVANE_NAME("register_transform"));
    for (const TransformRow& row : kTransforms) {
        py::object transform = module.attr(row.transform);
        if (row.is_tip) transform = KORVANE_IMPORTED("astroid", "inference_tip")(transform);
        register_transform(import_attr("astroid", row.node_class), transform,
                           module.attr(row.predicate));
    }
}

}  // namespace

void register_django_transforms(py::module_& m) {
    m.def("looks_like_model", offered<looks_like_model>, py::arg("node"));
    m.def("looks_like_model_manager_lookup", offered<looks_like_model_manager_lookup>, py::arg("node"));
    m.def("looks_like_queryset_lookup", offered<looks_like_queryset_lookup>, py::arg("node"));
    m.def("looks_like_model_get", offered<looks_like_model_get>, py::arg("node"));
    m.def("looks_like_model_manager", offered<looks_like_model_manager>, py::arg("node"));
    m.def("apply_model_manager_lookup_shim", &apply_model_manager_lookup_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_queryset_lookup_shim", &apply_queryset_lookup_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_model_get_shim", &apply_model_get_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_model_manager_shim", &apply_model_manager_shim, py::arg("node"),
          py::arg("_context") = py::none());
    m.def("apply_is_used_in_generic_fk_shim", &apply_is_used_in_generic_fk_shim, py::arg("node"));
    m.def("register_transforms", &register_transforms, py::arg("manager"));
}

}  // namespace korvane::shims

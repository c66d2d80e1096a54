// The Django transforms: model classes learn their generic-foreign-key id fields,
// and manager attributes, QuerySet lookups and single-object lookups get an inferred
// value through inference tips; `list()` and `sorted()` of a QuerySet give a plain
// list (list_calls.cpp).
#include "shims.hpp"

namespace korvane {
namespace shims {
namespace {

py::object& attribute_class() { return KORVANE_IMPORTED("astroid.nodes", "Attribute"); }

[[noreturn]] void use_inference_default() {
    raise_bare(KORVANE_IMPORTED("astroid.exceptions", "UseInferenceDefault"));
}

bool str_equals(py::handle value, const py::str& name) {
    int r = PyObject_RichCompareBool(value.ptr(), name.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The QuerySet methods that give a QuerySet, and those that give one object.
bool gives_queryset(py::handle name) {
    return str_equals(name, KORVANE_NAME("all")) || str_equals(name, KORVANE_NAME("filter")) ||
           str_equals(name, KORVANE_NAME("exclude"));
}

bool gives_one_object(py::handle name) {
    return str_equals(name, KORVANE_NAME("first")) || str_equals(name, KORVANE_NAME("last")) ||
           str_equals(name, KORVANE_NAME("get"));
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
    if (!str_equals(node.attr(KORVANE_NAME("attrname")), KORVANE_NAME("objects")))
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

py::object apply_is_used_in_generic_fk_shim(py::object node) {
    py::list names;
    if (truthy(helpers_test(KORVANE_NAME("is_model"), node))) {
        py::object calls =
            node.attr(KORVANE_NAME("nodes_of_class"))(KORVANE_IMPORTED("astroid", "Call"));
        for (py::handle call : calls) {
            // A call whose inference fails with any error names no field.
            py::object value;
            try {
                value = safe_infer(call);
            } catch (py::error_already_set& e) {
                if (!is_ordinary(e)) throw;
                continue;
            }
            if (!truthy(value)) continue;
            py::object name = getattr_or_null(value, KORVANE_NAME("name"));
            if (!name || !str_equals(name, KORVANE_NAME("GenericForeignKey"))) continue;
            // Only string constants name a field; any other fk_field is passed over.
            py::object keywords = call.attr(KORVANE_NAME("keywords"));
            if (truthy(keywords)) {
                for (py::handle keyword : keywords) {
                    py::object arg = keyword.attr(KORVANE_NAME("arg"));
                    if (arg.is_none() || !str_equals(arg, KORVANE_NAME("fk_field"))) continue;
                    py::object text = string_constant(keyword.attr(KORVANE_NAME("value")));
                    if (text) names.append(text);
                }
            } else {
                py::object args = call.attr(KORVANE_NAME("args"));
                if (args.is_none() || py::len(args) < 2) continue;
                py::object text = string_constant(args[py::int_(1)]);
                if (text) names.append(text);
            }
        }
    }
    node.attr(KORVANE_NAME("generic_foreign_key_field_names")) = names;
    return node;
}

// ---- registration ----

void register_transforms(py::object manager) {
    py::object inference_tip = KORVANE_IMPORTED("astroid", "inference_tip");
    py::object classdef = KORVANE_IMPORTED("astroid", "ClassDef");
    py::object call = KORVANE_IMPORTED("astroid", "Call");
    py::object attribute = KORVANE_IMPORTED("astroid", "Attribute");
    auto reg = [&](py::handle cls, py::handle transform, const char* predicate) {
        manager.attr(KORVANE_NAME("register_transform"))(cls, transform, module().attr(predicate));
    };
    auto tip = [&](const char* name) { return inference_tip(module().attr(name)); };
    reg(classdef, module().attr("apply_is_used_in_generic_fk_shim"), "looks_like_model");
    reg(call, tip("apply_model_manager_lookup_shim"), "looks_like_model_manager_lookup");
    reg(call, tip("apply_queryset_lookup_shim"), "looks_like_queryset_lookup");
    reg(call, tip("apply_model_get_shim"), "looks_like_model_get");
    reg(attribute, tip("apply_model_manager_shim"), "looks_like_model_manager");
    reg(call, module().attr("apply_list_call_shim"), "looks_like_list_call");
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

}  // namespace shims
}  // namespace korvane

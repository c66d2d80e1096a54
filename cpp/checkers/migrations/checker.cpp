// The migration checker plug-in: model classes imported into migrations, and
// RunPython operations without reverse code.
#include "migrations.hpp"

namespace korvane::migrations {

namespace {

size_t length_of(py::handle seq) { return seq.is_none() ? 0 : py::len(seq); }

// The source text naming the forwards code of a RunPython call.
py::object forwards_name(py::handle call) {
    py::object args = call.attr(KORVANE_NAME("args"));
    if (length_of(args) > 0) return args[py::int_(0)].attr(KORVANE_NAME("as_string"))();
    py::object keywords = call.attr(KORVANE_NAME("keywords"));
    if (keywords.is_none()) return py::str("");
    py::object spread;
    for (py::handle keyword : keywords) {
        py::object arg = keyword.attr(KORVANE_NAME("arg"));
        if (arg.is_none()) {
            if (!spread) spread = py::reinterpret_borrow<py::object>(keyword);
        } else if (korvane::is_text(arg, "code")) {
            return keyword.attr(KORVANE_NAME("as_string"))();
        }
    }
    // No named forwards code: a `**` spread carries it, else the call names none.
    return spread ? spread.attr(KORVANE_NAME("as_string"))() : py::str("");
}

void report(py::handle self, const char* code, py::handle node, py::dict args) {
    self.attr(KORVANE_NAME("add_message"))(py::str(code), py::arg("node") = node,
                                            py::arg("args") = args);
}

}  // namespace

py::object is_missing_reverse(py::handle node) {
    try {
        py::object func = korvane::getattr_or_null(node, KORVANE_NAME("func"));
        if (!func || !korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Attribute")))
            return py::none();
        if (!korvane::is_text(func.attr(KORVANE_NAME("attrname")), "RunPython"))
            return py::none();
        if (length_of(node.attr(KORVANE_NAME("args"))) > 1) return py::none();
        if (!in_migration_module(node)) return py::none();
        py::object keywords = node.attr(KORVANE_NAME("keywords"));
        if (keywords.is_none()) return py::bool_(true);
        for (py::handle keyword : keywords) {
            py::object arg = keyword.attr(KORVANE_NAME("arg"));
            if (korvane::is_text(arg, "reverse_code")) return py::bool_(false);
        }
        return py::bool_(true);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return py::bool_(false);
    }
}

namespace {

void visit_module(py::object self, py::object node) {
    self.attr(KORVANE_NAME("imported_model_names")) = py::list();
    state().walk_memo.open(node);
}

void leave_module(py::object, py::object node) { state().walk_memo.close(node); }

// The module an import-from statement names, or a null object when it cannot be
// found, imported or parsed.
py::object imported_module(py::handle node) {
    try {
        return node.attr(KORVANE_NAME("do_import_module"))();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError) ||
            e.matches(KORVANE_IMPORTED("astroid.exceptions", "AstroidBuildingError")))
            return py::object();
        throw;
    }
}

// Collects the model classes of a module imported into a migration.
void visit_importfrom(py::object self, py::object node) {
    if (!in_migration_module(node)) return;
    py::object module = imported_module(node);
    if (!module) return;
    py::object collected = self.attr(KORVANE_NAME("imported_model_names"));
    py::object is_model = state().helpers.attr(KORVANE_NAME("is_model"));
    py::object classes = module.attr(KORVANE_NAME("nodes_of_class"))(
        KORVANE_IMPORTED("astroid", "ClassDef"));
    for (py::handle cls : classes) {
        if (truthy(is_model(cls)) && PyList_Append(collected.ptr(), cls.ptr()) < 0)
            throw py::error_already_set();
    }
}

// The first value inferred for the object of an attribute access, or a null object
// when nothing is inferred (an inference error, or any error of an inference that
// cannot cope with the code).
py::object inferred_object(py::handle attribute) {
    try {
        py::object values = attribute.attr(KORVANE_NAME("expr")).attr(KORVANE_NAME("infer"))();
        PyObject* first = PyIter_Next(values.ptr());
        if (!first && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(first);
    } catch (py::error_already_set& e) {
        if (is_ordinary(e)) return py::object();
        throw;
    }
}

// `<Model>.objects` in a migration, for a model class imported into it: the migration
// uses the model as it is now instead of its historical state.
void visit_attribute(py::object self, py::object node) {
    if (!is_text(node.attr(KORVANE_NAME("attrname")), "objects")) return;
    if (!in_migration_module(node)) return;
    py::object model = inferred_object(node);
    if (!model) return;
    for (py::handle cls : self.attr(KORVANE_NAME("imported_model_names"))) {
        if (cls.ptr() != model.ptr()) continue;
        py::dict args;
        args["name"] = model.attr(KORVANE_NAME("name"));
        report(self, "C8000", node, args);
        return;
    }
}

void visit_call(py::object self, py::object node) {
    if (!truthy(is_missing_reverse(node))) return;
    py::dict args;
    args["forwards_name"] = forwards_name(node);
    report(self, "C8001", node, args);
}

}  // namespace

void register_checker(py::module_& m) {
    m.def("is_missing_reverse", [](py::object node) { return is_missing_reverse(node); },
          py::arg("node"));
    py::object cls = make_checker_class(
        m, "migrations", nullptr,
        {{"C8000", "migration-model-import", "Detects importing model in migration"},
         {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"}});
    def_method(cls, "visit_module", &visit_module);
    def_method(cls, "leave_module", &leave_module);
    def_method(cls, "visit_importfrom", &visit_importfrom);
    def_method(cls, "visit_attribute", &visit_attribute);
    def_method(cls, "visit_call", &visit_call);
}

}  // namespace korvane::migrations

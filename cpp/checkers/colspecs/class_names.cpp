// Naming another field class in a declaration the way the module reaches the one it
// names: `models.CharField` becomes `models.TextField` (the module object offers it),
// a bare `CharField` becomes a bare `TextField`, imported on the same from-import line
// that imports `CharField` where nothing imports it yet.
#include "colspecs.hpp"

#include <korvane/import_names.hpp>

namespace korvane::colspecs {

namespace {

bool is_class(py::handle value) {
    return value && korvane::isinstance(value, KORVANE_IMPORTED("astroid", "ClassDef"));
}

// The first value that `owner.igetattr(name)` infers to, or null.
py::object attribute_value(py::handle owner, py::handle name) {
    try {
        for (py::handle value : owner.attr(KORVANE_NAME("igetattr"))(name))
            if (!value.is(KORVANE_IMPORTED("astroid", "Uninferable")))
                return py::reinterpret_borrow<py::object>(value);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
    }
    return py::object();
}

bool is_same_class(py::handle value, py::handle target) {
    return is_class(value) && equals(value.attr(KORVANE_NAME("qname"))(), target.attr(KORVANE_NAME("qname"))());
}

// The class `new_name` of the module that defines the class the declaration creates
// (django.db.models.fields for CharField); null when that module has none.
py::object sibling_class(py::handle call, py::handle new_name) {
    py::object inferred = safe_infer(call);
    py::object cls = inferred.is_none() ? py::object() : getattr_or_null(inferred, KORVANE_NAME("_proxied"));
    if (!is_class(cls)) return py::object();
    py::object value = attribute_value(cls.attr(KORVANE_NAME("root"))(), new_name);
    return is_class(value) ? value : py::object();
}

// What the bare name `name` stands for where the callee `func` stands.
py::object value_at(py::handle func, py::handle name) {
    py::object probe = KORVANE_IMPORTED("astroid", "Name")(
        py::arg("name") = name, py::arg("lineno") = func.attr(KORVANE_NAME("lineno")),
        py::arg("col_offset") = func.attr(KORVANE_NAME("col_offset")),
        py::arg("parent") = func.attr(KORVANE_NAME("parent")));
    py::object value;
    try {
        value = safe_infer(probe);
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return py::object();
    }
    return value.is_none() ? py::object() : value;
}

// The statements that bind `name` where `func` stands (builtins included).
py::list bindings_at(py::handle func, py::handle name) {
    return func.attr(KORVANE_NAME("lookup"))(name)[py::int_(1)];
}

// The one from-import statement that binds the callee's name, and the module it
// imports from; both null when the name is bound otherwise or more than once.
std::pair<py::object, py::object> binding_import(py::handle func) {
    py::list bindings = bindings_at(func, func.attr(KORVANE_NAME("name")));
    if (bindings.size() != 1 || !korvane::isinstance(bindings[0], KORVANE_IMPORTED("astroid", "ImportFrom")))
        return {};
    py::object imp = bindings[0];
    try {
        return {imp, imp.attr(KORVANE_NAME("do_import_module"))()};
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return {};
    }
}

// The name under which the from-import `imp` binds `new_name` once it is added
// there; null when it cannot (beside a wildcard).  The statement is edited when it
// did not import the name yet, and handed on whenever a fix added the name, this one
// or an earlier one of the same tree: a suggestion for either fix alone needs the
// import too.  The names added are noted on the statement.
py::object import_there(py::handle imp, py::handle new_name) {
    constexpr const char* kAdded = "korvane_added_names";
    std::vector<ImportEntry> entries = import_entries(imp);
    if (add_import_entry(entries, new_name)) {
        set_import_entries(imp, entries);
        if (!py::hasattr(imp, kAdded)) py::setattr(imp, kAdded, py::set());
        imp.attr(kAdded).attr("add")(new_name);
    }
    py::object name;
    for (const ImportEntry& e : entries)
        if (equals(e.name, new_name)) name = e.alias.is_none() ? e.name : e.alias;
    py::object added = korvane::getattr_or_null(imp, py::str(kAdded));
    if (name && added && PySet_Contains(added.ptr(), new_name.ptr()) == 1)
        hand_on_edited(imp.attr(KORVANE_NAME("root"))(), imp);
    return name;
}

py::object respell_attribute(py::handle func, py::handle new_name, py::handle target) {
    py::object receiver = func.attr(KORVANE_NAME("expr"));
    py::object owner = safe_infer(receiver);
    if (!owner.is_none() && korvane::isinstance(owner, KORVANE_IMPORTED("astroid", "Module")) &&
        is_same_class(attribute_value(owner, new_name), target)) {
        func.attr(KORVANE_NAME("attrname")) = new_name;
        return py::object();
    }
    return py::str("{} offers no {}").format(receiver.attr(KORVANE_NAME("as_string"))(), new_name);
}

py::object respell_name(py::handle func, py::handle new_name, py::handle target) {
    if (is_same_class(value_at(func, new_name), target)) {  // imported already, or by a wildcard
        func.attr(KORVANE_NAME("name")) = new_name;
        return py::object();
    }
    if (!bindings_at(func, new_name).empty())
        return py::str("the module binds {} to something else").format(new_name);
    auto [imp, source] = binding_import(func);
    py::object name;
    if (source && is_same_class(attribute_value(source, new_name), target)) name = import_there(imp, new_name);
    if (!name) return py::str("no import of the module can bring in {}").format(new_name);
    func.attr(KORVANE_NAME("name")) = name;
    return py::object();
}

}  // namespace

py::object respell_field_class(py::handle call, const char* new_name) {
    py::str name(new_name);
    py::object func = call.attr(KORVANE_NAME("func"));
    bool attribute = korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Attribute"));
    if (!attribute && !korvane::isinstance(func, KORVANE_IMPORTED("astroid", "Name")))
        raise_bare(PyExc_NotImplementedError);  // a callee no name can be given to
    py::object target = sibling_class(call, name);
    if (!target) return py::str("the module of the field's class has no {}").format(name);
    return attribute ? respell_attribute(func, name, target) : respell_name(func, name, target);
}

}  // namespace korvane::colspecs

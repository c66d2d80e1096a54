// Whether a QuerySet held by a name is evaluated later in the same function anyway:
// iterated (a `for` loop or a comprehension over the name), indexed or sliced, passed
// to list() or tuple(), unpacked into a call or display (`add(*perms)`), or tested for
// a member (`perm in perms`).  Its len() and its truth test then fill the QuerySet's
// result cache that the later use reads, so they cost no query of their own, while
// count() or exists() in their place would add one.
//
// The rule is syntactic, per function (the frame: a function, lambda, class body or
// module; comprehensions belong to the function around them, nested functions and
// classes do not): a use of the same name that comes later in source order, with no
// binding of that name (assignment, loop target, import, def, del, ...) between the
// two.  Bindings are counted generously (a comprehension's own target counts too), so
// a finding is only ever kept for them, never dropped.
#include "ormcalls.hpp"

#include <vector>

namespace korvane::ormcalls {

namespace {

struct Kinds {
    py::object name, for_loop, comprehension, subscript, call, assign_name, del_name, function,
        async_function, class_def, lambda, import_, import_from, starred, compare, load;
};

const Kinds& kinds() {
    static const Kinds* k = new Kinds{
        KORVANE_IMPORTED("astroid.nodes", "Name"),
        KORVANE_IMPORTED("astroid.nodes", "For"),  // AsyncFor derives from it
        KORVANE_IMPORTED("astroid.nodes", "Comprehension"),
        KORVANE_IMPORTED("astroid.nodes", "Subscript"),
        KORVANE_IMPORTED("astroid.nodes", "Call"),
        KORVANE_IMPORTED("astroid.nodes", "AssignName"),
        KORVANE_IMPORTED("astroid.nodes", "DelName"),
        KORVANE_IMPORTED("astroid.nodes", "FunctionDef"),
        KORVANE_IMPORTED("astroid.nodes", "AsyncFunctionDef"),
        KORVANE_IMPORTED("astroid.nodes", "ClassDef"),
        KORVANE_IMPORTED("astroid.nodes", "Lambda"),
        KORVANE_IMPORTED("astroid.nodes", "Import"),
        KORVANE_IMPORTED("astroid.nodes", "ImportFrom"),
        KORVANE_IMPORTED("astroid.nodes", "Starred"),
        KORVANE_IMPORTED("astroid.nodes", "Compare"),
        KORVANE_IMPORTED("astroid.const", "Context").attr("Load"),
    };
    return *k;
}

// (line, column) of a node, or a null object when it has no position.
py::object position(py::handle node) {
    py::object line = getattr_or_null(node, KORVANE_NAME("lineno"));
    py::object column = getattr_or_null(node, KORVANE_NAME("col_offset"));
    if (!line || !column || !PyLong_Check(line.ptr()) || !PyLong_Check(column.ptr()))
        return py::object();
    return py::make_tuple(line, column);
}

// The uses and bindings of the names of one frame: name -> [uses, bindings, blocked],
// the two lists of positions sorted; `blocked` when a binding has no position.
class Index {
  public:
    void use(py::handle name_node) {
        py::object where = position(name_node);
        if (!where) return;
        append(entry(name_node.attr(KORVANE_NAME("name")))[py::int_(0)], where);
    }

    void bind(py::handle name, py::handle node) {
        if (!PyUnicode_Check(name.ptr())) return;
        py::object where = position(node);
        py::list slot = entry(name);
        if (!where) {
            slot[py::int_(2)] = py::bool_(true);
            return;
        }
        append(slot[py::int_(1)], where);
    }

    py::dict finish() {
        for (auto item : names_) {
            py::list slot = py::reinterpret_borrow<py::list>(item.second);
            for (int i = 0; i < 2; ++i)
                if (PyList_Sort(slot[py::int_(i)].ptr()) < 0) throw py::error_already_set();
        }
        return names_;
    }

  private:
    py::list entry(py::handle name) {
        PyObject* found = PyDict_GetItemWithError(names_.ptr(), name.ptr());
        if (found) return py::reinterpret_borrow<py::list>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::list slot;
        slot.append(py::list());
        slot.append(py::list());
        slot.append(py::bool_(false));
        if (PyDict_SetItem(names_.ptr(), name.ptr(), slot.ptr()) < 0) throw py::error_already_set();
        return slot;
    }

    static void append(py::handle list, py::handle value) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) throw py::error_already_set();
    }

    py::dict names_;
};

bool is_name(py::handle node) { return node && korvane::isinstance(node, kinds().name); }

bool is_text(py::handle value, const char* text) {
    if (!PyUnicode_Check(value.ptr())) return false;
    return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// A name given to list() or tuple() as their only argument.
py::object listed_name(py::handle call) {
    py::object func = call.attr(KORVANE_NAME("func"));
    if (!is_name(func)) return py::object();
    py::object callee = func.attr(KORVANE_NAME("name"));
    if (!is_text(callee, "list") && !is_text(callee, "tuple")) return py::object();
    py::object args = call.attr(KORVANE_NAME("args"));
    py::object keywords = call.attr(KORVANE_NAME("keywords"));
    if (args.is_none() || py::len(args) != 1) return py::object();
    if (!keywords.is_none() && py::len(keywords) != 0) return py::object();
    py::object argument = args[py::int_(0)];
    return is_name(argument) ? argument : py::object();
}

// The names an import statement binds: the alias, else the imported name (its first
// dotted part for `import a.b`).
void bind_imported(Index& index, py::handle statement, bool from_import) {
    for (py::handle pair : statement.attr(KORVANE_NAME("names"))) {
        py::object name = py::reinterpret_borrow<py::tuple>(pair)[0];
        py::object alias = py::reinterpret_borrow<py::tuple>(pair)[1];
        if (!alias.is_none()) {
            index.bind(alias, statement);
        } else if (from_import) {
            if (!is_text(name, "*")) index.bind(name, statement);
        } else if (PyUnicode_Check(name.ptr())) {
            index.bind(name.attr("split")(".")[py::int_(0)], statement);
        }
    }
}

// Notes the uses and bindings that one node makes itself.  Whether the walk goes on
// into its children: not into a nested function, class or lambda, which are frames of
// their own (a function or class still binds its name here).
bool note(Index& index, py::handle node) {
    const Kinds& k = kinds();
    if (korvane::isinstance(node, k.function) || korvane::isinstance(node, k.async_function) ||
        korvane::isinstance(node, k.class_def)) {
        index.bind(node.attr(KORVANE_NAME("name")), node);
        return false;
    }
    if (korvane::isinstance(node, k.lambda)) return false;
    if (korvane::isinstance(node, k.assign_name) || korvane::isinstance(node, k.del_name)) {
        index.bind(node.attr(KORVANE_NAME("name")), node);
    } else if (korvane::isinstance(node, k.for_loop) || korvane::isinstance(node, k.comprehension)) {
        py::object iterated = node.attr(KORVANE_NAME("iter"));
        if (is_name(iterated)) index.use(iterated);
    } else if (korvane::isinstance(node, k.subscript)) {
        py::object value = node.attr(KORVANE_NAME("value"));
        py::object ctx = getattr_or_null(node, KORVANE_NAME("ctx"));
        if (is_name(value) && ctx && ctx.is(k.load)) index.use(value);
    } else if (korvane::isinstance(node, k.call)) {
        py::object listed = listed_name(node);
        if (listed) index.use(listed);
    } else if (korvane::isinstance(node, k.starred)) {
        py::object value = node.attr(KORVANE_NAME("value"));
        py::object ctx = getattr_or_null(node, KORVANE_NAME("ctx"));
        if (is_name(value) && ctx && ctx.is(k.load)) index.use(value);
    } else if (korvane::isinstance(node, k.compare)) {
        for (py::handle pair : node.attr(KORVANE_NAME("ops"))) {
            py::object op = py::reinterpret_borrow<py::tuple>(pair)[0];
            py::object right = py::reinterpret_borrow<py::tuple>(pair)[1];
            if ((is_text(op, "in") || is_text(op, "not in")) && is_name(right)) index.use(right);
        }
    } else if (korvane::isinstance(node, k.import_)) {
        bind_imported(index, node, false);
    } else if (korvane::isinstance(node, k.import_from)) {
        bind_imported(index, node, true);
    }
    return true;
}

// One walk over the frame's own nodes, in source order.
py::dict build_index(py::handle frame) {
    Index index;
    std::vector<py::object> pending;
    auto push_children = [&](py::handle node) {
        std::vector<py::object> children;
        for (py::handle child : node.attr(KORVANE_NAME("get_children"))())
            children.push_back(py::reinterpret_borrow<py::object>(child));
        // Reversed onto the stack, so the walk goes in source order.
        for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
    };
    push_children(frame);
    while (!pending.empty()) {
        py::object node = std::move(pending.back());
        pending.pop_back();
        if (note(index, node)) push_children(node);
    }
    return index.finish();
}

py::object bisect_right(py::handle list, py::handle value) {
    return KORVANE_IMPORTED("bisect", "bisect_right")(list, value);
}

bool later_use_without_rebinding(py::handle slot, py::handle where) {
    py::list entry = py::reinterpret_borrow<py::list>(slot);
    if (korvane::truthy(entry[py::int_(2)])) return false;
    py::list uses = entry[py::int_(0)];
    size_t i = bisect_right(uses, where).cast<size_t>();
    if (i >= uses.size()) return false;
    py::object use = uses[i];
    py::list bindings = entry[py::int_(1)];
    size_t j = bisect_right(bindings, where).cast<size_t>();
    if (j >= bindings.size()) return true;
    int before = PyObject_RichCompareBool(bindings[j].ptr(), use.ptr(), Py_LT);
    if (before < 0) throw py::error_already_set();
    return before == 0;
}

}  // namespace

py::object is_evaluated_later(py::handle node) {
    try {
        if (!is_name(node)) return py::none();
        py::object where = position(node);
        if (!where) return py::none();
        py::object frame = node.attr(KORVANE_NAME("frame"))();
        py::object index = state().walk_memo.ask(KORVANE_NAME("evaluated_names"), frame,
                                             [&] { return py::object(build_index(frame)); });
        PyObject* slot = PyDict_GetItemWithError(index.ptr(), node.attr(KORVANE_NAME("name")).ptr());
        if (!slot) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::bool_(false);
        }
        return py::bool_(later_use_without_rebinding(slot, where));
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        return py::bool_(false);
    } catch (py::cast_error&) {  // a node of an unexpected shape
        return py::bool_(false);
    }
}

}  // namespace korvane::ormcalls

// The record of a token view's tree before the fixes run, and the question whether a
// node's subtree is still as recorded.
//
// For every node: the value of each child field (a child, None, or a tuple of the
// children a list field held) and of each plain field (a name, an operator, a
// constant's value, an import's names).  Fixes edit nodes in place, replace children
// and insert or remove list items; comparing the tree with the record finds every
// such change.  Positions are not recorded: a fix may move a node's line without
// changing what it says.
#include "source_edits.hpp"

#include <unordered_map>

namespace korvane::suggest {

namespace {

// The token view's attribute that holds the record.
constexpr const char* kRecordAttribute = "original_tree";

// Field names per node class, read once from the class.
std::unordered_map<PyTypeObject*, FieldNames>& names_by_class() {
    static auto* names = new std::unordered_map<PyTypeObject*, FieldNames>();
    return *names;
}

std::vector<py::str> names_from(py::handle cls, const char* attribute) {
    std::vector<py::str> names;
    py::object value = getattr_or_null(cls, py::str(attribute));
    if (!value || value.is_none()) return names;
    for (py::handle name : value) names.push_back(py::reinterpret_borrow<py::str>(name));
    return names;
}

// A child field's value as recorded: list items as a tuple, anything else as it is.
py::object recorded_value(py::handle value) {
    if (PyList_Check(value.ptr())) {
        PyObject* items = PyList_AsTuple(value.ptr());
        if (!items) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(items);
    }
    return py::reinterpret_borrow<py::object>(value);
}

// A plain field's value as recorded: a list (an import's names) as a tuple, so that a
// later edit of the list in place is seen.
py::object recorded_plain(py::handle value) { return recorded_value(value); }

bool is_node(py::handle value) {
    return korvane::isinstance(value, KORVANE_IMPORTED("astroid.nodes", "NodeNG"));
}

// Calls `visit(child)` for each node a recorded child value holds: a child, the items
// of a sequence, and the nodes inside pairs (a dict's items, a comparison's operators).
template <typename Visit>
void for_each_child(py::handle value, Visit&& visit) {
    if (value.is_none()) return;
    if (!is_recorded_sequence(value)) {
        if (is_node(value)) visit(value);
        return;
    }
    for (py::handle item : value) {
        if (PyTuple_Check(item.ptr())) {
            for (py::handle part : item)
                if (is_node(part)) visit(part);
        } else if (is_node(item)) {
            visit(item);
        }
    }
}

// Whether two plain values are the same: the same object, or equal values of one type
// (True is not 1).
bool same_plain(py::handle recorded, py::handle now) {
    if (recorded.ptr() == now.ptr()) return true;
    if (Py_TYPE(recorded.ptr()) != Py_TYPE(now.ptr())) {
        // a list edited in place against the tuple recorded for it
        if (!(PyTuple_Check(recorded.ptr()) && PyList_Check(now.ptr()))) return false;
        py::object as_tuple = recorded_value(now);
        return equals(recorded, as_tuple);
    }
    return equals(recorded, now);
}

// Whether a child value now holds the very children recorded, in order.
bool same_children(py::handle recorded, py::handle now) {
    if (!is_recorded_sequence(recorded)) return recorded.ptr() == now.ptr();
    if (!PyList_Check(now.ptr()) && !PyTuple_Check(now.ptr())) return false;
    py::object items = recorded_value(now);
    Py_ssize_t n = PyTuple_GET_SIZE(recorded.ptr());
    if (PyTuple_GET_SIZE(items.ptr()) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(recorded.ptr(), i);
        PyObject* b = PyTuple_GET_ITEM(items.ptr(), i);
        if (a == b) continue;
        // pairs are rebuilt by whoever edits them: compare their parts
        if (!PyTuple_Check(a) || !PyTuple_Check(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b))
            return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(a); ++j) {
            PyObject* x = PyTuple_GET_ITEM(a, j);
            PyObject* y = PyTuple_GET_ITEM(b, j);
            if (x != y && !(PyUnicode_Check(x) && equals(x, y))) return false;
        }
    }
    return true;
}

}  // namespace

const FieldNames& field_names(py::handle node) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    auto& names = names_by_class();
    auto found = names.find(type);
    if (found != names.end()) return found->second;
    py::handle cls(reinterpret_cast<PyObject*>(type));
    FieldNames fields{names_from(cls, "_astroid_fields"), names_from(cls, "_other_fields")};
    // Kept for the life of the process, as the classes are.
    Py_INCREF(type);
    return names.emplace(type, std::move(fields)).first->second;
}

py::dict take_record(py::handle atok) {
    py::dict record;
    std::vector<py::object> pending{atok.attr(KORVANE_NAME("tree"))};
    while (!pending.empty()) {
        py::object node = std::move(pending.back());
        pending.pop_back();
        int seen = PyDict_Contains(record.ptr(), node.ptr());
        if (seen < 0) throw py::error_already_set();
        if (seen) continue;
        const FieldNames& fields = field_names(node);
        py::tuple entry(fields.children.size() + fields.plain.size());
        size_t i = 0;
        for (const py::str& name : fields.children) {
            py::object value = recorded_value(node.attr(name));
            for_each_child(value, [&](py::handle child) {
                pending.push_back(py::reinterpret_borrow<py::object>(child));
            });
            entry[i++] = value;
        }
        for (const py::str& name : fields.plain) {
            py::object value = getattr_or_null(node, name);
            entry[i++] = value ? recorded_plain(value) : py::none();
        }
        record[node] = entry;
    }
    atok.attr(kRecordAttribute) = record;
    return record;
}

py::dict record_of(py::handle atok) {
    py::object record = getattr_or_null(atok, py::str(kRecordAttribute));
    if (!record || !PyDict_Check(record.ptr())) {
        PyErr_SetString(PyExc_ValueError,
                        "the token view holds no record of its tree before the fixes");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::dict>(record);
}

namespace {

// A recorded child value as a field holds it: the children of a list field as a list.
py::object field_value(py::handle recorded) {
    if (!is_recorded_sequence(recorded)) return py::reinterpret_borrow<py::object>(recorded);
    PyObject* items = PySequence_List(recorded.ptr());
    if (!items) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(items);
}

// A recorded plain value as the field holds it now: a list stays a list.
py::object plain_value(py::handle recorded, py::handle now) {
    if (PyTuple_Check(recorded.ptr()) && now && PyList_Check(now.ptr())) return field_value(recorded);
    return py::reinterpret_borrow<py::object>(recorded);
}

// Puts one node's fields back as recorded; its recorded children are added to
// `children`, each with its parent set back.
void restore_fields(py::handle node, PyObject* entry, std::vector<py::object>* children) {
    const FieldNames& fields = field_names(node);
    size_t i = 0;
    for (const py::str& name : fields.children) {
        py::handle recorded(PyTuple_GET_ITEM(entry, static_cast<Py_ssize_t>(i++)));
        py::object now = getattr_or_null(node, name);
        if (!now || !same_children(recorded, now)) node.attr(name) = field_value(recorded);
        for_each_child(recorded, [&](py::handle child) {
            child.attr(KORVANE_NAME("parent")) = node;
            children->push_back(py::reinterpret_borrow<py::object>(child));
        });
    }
    for (const py::str& name : fields.plain) {
        py::handle recorded(PyTuple_GET_ITEM(entry, static_cast<Py_ssize_t>(i++)));
        py::object now = getattr_or_null(node, name);
        if (now ? same_plain(recorded, now) : recorded.is_none()) continue;
        node.attr(name) = plain_value(recorded, now);
    }
}

}  // namespace

void restore_recorded(const py::dict& record, py::handle node) {
    std::vector<py::object> pending{py::reinterpret_borrow<py::object>(node)};
    while (!pending.empty()) {
        py::object current = std::move(pending.back());
        pending.pop_back();
        PyObject* entry = PyDict_GetItemWithError(record.ptr(), current.ptr());
        if (!entry) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        restore_fields(current, entry, &pending);
    }
}

bool Unchanged::is_original(py::handle node) const {
    int found = PyDict_Contains(record_.ptr(), node.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// Whether the node's own fields are as recorded; its recorded children are added to
// `children` when they are.
bool Unchanged::same_as_recorded(py::handle node, std::vector<py::object>* children) {
    PyObject* entry = PyDict_GetItemWithError(record_.ptr(), node.ptr());
    if (!entry) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    const FieldNames& fields = field_names(node);
    size_t i = 0;
    for (const py::str& name : fields.children) {
        py::handle recorded(PyTuple_GET_ITEM(entry, i++));
        py::object now = getattr_or_null(node, name);
        if (!now || !same_children(recorded, now)) return false;
        for_each_child(recorded, [&](py::handle child) {
            children->push_back(py::reinterpret_borrow<py::object>(child));
        });
    }
    for (const py::str& name : fields.plain) {
        py::handle recorded(PyTuple_GET_ITEM(entry, i++));
        py::object now = getattr_or_null(node, name);
        if (!now) now = py::none();
        if (!same_plain(recorded, now)) return false;
    }
    return true;
}

// Walked without recursion, children before their parent, so that a very deep
// expression does not exhaust the stack; each answer is kept.
bool Unchanged::operator()(py::handle root) {
    struct Step {
        py::object node;
        std::vector<py::object> children;
        size_t next = 0;
        bool same = true;
    };
    auto known = [this](py::handle node, bool& answer) {
        PyObject* kept = PyDict_GetItemWithError(memo_.ptr(), node.ptr());
        if (!kept) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        answer = kept == Py_True;
        return true;
    };
    bool answer = false;
    if (known(root, answer)) return answer;
    std::vector<Step> stack;
    auto open = [&](py::handle node) {
        Step step{py::reinterpret_borrow<py::object>(node), {}, 0, true};
        step.same = same_as_recorded(node, &step.children);
        stack.push_back(std::move(step));
    };
    open(root);
    while (true) {
        Step& top = stack.back();
        if (top.same && top.next < top.children.size()) {
            py::object child = top.children[top.next++];
            bool child_answer = false;
            if (known(child, child_answer)) {
                top.same = child_answer;
                continue;
            }
            open(child);
            continue;
        }
        bool same = top.same;
        memo_[top.node] = py::bool_(same);
        stack.pop_back();
        if (stack.empty()) return same;
        stack.back().same = stack.back().same && same;
    }
}

void register_tree_record(py::module_& m) {
    (void)KORVANE_IMPORTED("astroid.nodes", "NodeNG");
    m.def("record_tree", &take_record, py::arg("atok"),
          "Records the token view's tree as it is now, before fixes edit it, so that "
          "edited_text can find what they changed; returns the record.");
    m.def(
        "is_unchanged",
        [](py::object atok, py::object node) {
            Unchanged unchanged(record_of(atok));
            return unchanged(node);
        },
        py::arg("atok"), py::arg("node"),
        "Whether a node of the recorded tree holds what it held when the tree was "
        "recorded, all the way down.");
}

}  // namespace korvane::suggest

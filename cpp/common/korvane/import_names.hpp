// Editing the names of an import-from statement, as the fixes that give a module a new
// name do: an entry is added unaliased, in name order where the entries keep that
// order, never beside a wildcard, and the edited statement is handed to the suggestion
// road.
#pragma once

#include <korvane/common.hpp>
#include <korvane/text.hpp>

#include <algorithm>
#include <vector>

namespace korvane {

// One imported name of an import-from statement: the name, its alias (None when it
// has none) and the (name, alias) pair as the statement holds it.
struct ImportEntry {
    py::object name;
    py::object alias;
    py::object pair;
};

inline std::vector<ImportEntry> import_entries(py::handle imp) {
    std::vector<ImportEntry> entries;
    for (py::handle pair : imp.attr(KORVANE_NAME("names")))
        entries.push_back(ImportEntry{pair[py::int_(0)], pair[py::int_(1)],
                                      py::reinterpret_borrow<py::object>(pair)});
    return entries;
}

// `a < b` by the interpreter's ordering (code point order for texts).
inline bool text_less(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The order of entries that an import keeps sorted: by name, then the unaliased
// first, then by alias.
inline bool entry_less(const ImportEntry& a, const ImportEntry& b) {
    if (!equals(a.name, b.name)) return text_less(a.name, b.name);
    if (a.alias.is_none() != b.alias.is_none()) return a.alias.is_none();
    return !a.alias.is_none() && text_less(a.alias, b.alias);
}

// Adds `name` unaliased; the entries there stay where they are.  Among entries in
// that order the new one goes where it sorts, else at the end.  Nothing is added when
// the name is imported already (under any alias) or a wildcard binds it (a name cannot
// stand beside a wildcard).  Whether it was added.
inline bool add_import_entry(std::vector<ImportEntry>& entries, py::handle name) {
    for (const ImportEntry& e : entries)
        if (equals(e.name, name) || is_text(e.name, "*")) return false;
    py::object added = py::reinterpret_borrow<py::object>(name);
    ImportEntry entry{added, py::none(), py::make_tuple(added, py::none())};
    bool sorted = std::is_sorted(entries.begin(), entries.end(), entry_less);
    auto at = sorted ? std::upper_bound(entries.begin(), entries.end(), entry, entry_less) : entries.end();
    entries.insert(at, entry);
    return true;
}

// Gives the statement the entries as its names, in their order.
inline void set_import_entries(py::handle imp, const std::vector<ImportEntry>& entries) {
    py::list names;
    for (const ImportEntry& e : entries) names.append(e.pair);
    imp.attr(KORVANE_NAME("names")) = names;
}

// Offers a statement a fix edited outside its finding's statement to the module's list
// of such statements (once), which the suggestion road keeps (it suggests each one as
// well).
inline void hand_on_edited(py::handle module_node, py::handle statement) {
    py::object others = getattr_or_null(module_node, KORVANE_NAME("replace_other_nodes"));
    if (!others) return;
    int present = PySequence_Contains(others.ptr(), statement.ptr());
    if (present < 0) throw py::error_already_set();
    if (!present) others.attr("append")(statement);
}

}  // namespace korvane

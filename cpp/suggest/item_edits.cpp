// Edits of lists of items: the arguments of a call, the elements of a list, tuple or
// set, the items of a dict display, the operands of `and`/`or` and of a comparison,
// and the names of an import.
//
// The old and new items are aligned; an item kept in place is walked further, an item
// put where another was removed takes its place, the other removed ones go with their
// comma or operator, and the other added ones follow the item before them (else come
// before the one after them, else go between the container's brackets).
#include "edit_finder.hpp"

#include <algorithm>
#include <numeric>

namespace korvane::suggest {

namespace {

bool equal_values(py::handle a, py::handle b) { return equals(a, b); }

bool is_pair(py::handle item) { return PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2; }
py::handle part(py::handle pair, Py_ssize_t i) { return PyTuple_GET_ITEM(pair.ptr(), i); }

// Dict items are rebuilt around an edited value: an item is the same by its key.
bool same_key(py::handle a, py::handle b) { return part(a, 0).ptr() == part(b, 0).ptr(); }
// A comparison's pairs (operator, operand) are the same by their operand.
bool same_operand(py::handle a, py::handle b) { return part(a, 1).ptr() == part(b, 1).ptr(); }

// Two parts of pairs are the same: the same node, or equal texts (an operator).
bool same_part(py::handle a, py::handle b) {
    return a.ptr() == b.ptr() || (PyUnicode_Check(a.ptr()) && PyUnicode_Check(b.ptr()) && equals(a, b));
}

bool same_item(py::handle a, py::handle b) {
    if (a.ptr() == b.ptr()) return true;
    if (!PyTuple_Check(a.ptr()) || !PyTuple_Check(b.ptr())) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(a.ptr());
    if (PyTuple_GET_SIZE(b.ptr()) != n) return false;
    for (Py_ssize_t j = 0; j < n; ++j)
        if (!same_part(part(a, j), part(b, j))) return false;
    return true;
}

// The pairs (old, new) of a longest common subsequence of two item lists under `same`.
std::vector<std::pair<size_t, size_t>> common_items(const std::vector<py::object>& old_items,
                                                    const std::vector<py::object>& new_items,
                                                    Same same) {
    size_t n = old_items.size(), m = new_items.size();
    size_t head = 0;
    while (head < n && head < m && same(old_items[head], new_items[head])) ++head;
    size_t tail = 0;
    while (tail < n - head && tail < m - head && same(old_items[n - 1 - tail], new_items[m - 1 - tail]))
        ++tail;
    size_t on = n - head - tail, nm = m - head - tail;
    std::vector<std::vector<int>> table(on + 1, std::vector<int>(nm + 1, 0));
    for (size_t i = on; i-- > 0;)
        for (size_t j = nm; j-- > 0;)
            table[i][j] = same(old_items[head + i], new_items[head + j])
                              ? table[i + 1][j + 1] + 1
                              : std::max(table[i + 1][j], table[i][j + 1]);
    std::vector<std::pair<size_t, size_t>> matches;
    for (size_t i = 0; i < head; ++i) matches.push_back({i, i});
    for (size_t i = 0, j = 0; i < on && j < nm;) {
        if (same(old_items[head + i], new_items[head + j])) {
            matches.push_back({head + i, head + j});
            ++i, ++j;
        } else if (table[i + 1][j] >= table[i][j + 1]) {
            ++i;
        } else {
            ++j;
        }
    }
    for (size_t k = 0; k < tail; ++k) matches.push_back({n - tail + k, m - tail + k});
    return matches;
}

// The position of each old item among the others, by where its text starts.
std::vector<size_t> position_ranks(const std::vector<Span>& spans) {
    std::vector<size_t> order(spans.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return spans[a].first < spans[b].first; });
    std::vector<size_t> rank(spans.size());
    for (size_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
    return rank;
}

// The texts of the added items that take no removed item's place by `list.replace`.
template <typename Text>
void fill_added(ItemList& list, const Alignment& alignment, size_t count, Text text) {
    list.texts.assign(count, py::object());
    for (const Gap& gap : alignment.gaps) {
        size_t paired = list.replace ? std::min(gap.removed.size(), gap.added.size()) : 0;
        for (size_t k = paired; k < gap.added.size(); ++k) list.texts[gap.added[k]] = text(gap.added[k]);
    }
}

py::str import_text(py::handle pair) {
    py::object name = pair[py::int_(0)];
    py::object alias = pair[py::int_(1)];
    if (alias.is_none()) return py::str(name);
    return concat(concat(py::str(name), py::str(" as ")), py::str(alias));
}

}  // namespace

bool identical_nodes(py::handle a, py::handle b) { return a.ptr() == b.ptr(); }

bool same_items(const std::vector<py::object>& old_items, const std::vector<py::object>& new_items) {
    if (old_items.size() != new_items.size()) return false;
    for (size_t k = 0; k < old_items.size(); ++k)
        if (!same_item(old_items[k], new_items[k])) return false;
    return true;
}

Alignment align(const std::vector<py::object>& old_items, const std::vector<py::object>& new_items,
                Same same) {
    std::vector<std::pair<size_t, size_t>> matches = common_items(old_items, new_items, same);
    Alignment alignment;
    size_t oi = 0, nj = 0;
    long before = -1;
    for (size_t k = 0; k <= matches.size(); ++k) {
        bool last = k == matches.size();
        size_t o_end = last ? old_items.size() : matches[k].first;
        size_t n_end = last ? new_items.size() : matches[k].second;
        Gap gap;
        for (; oi < o_end; ++oi) gap.removed.push_back(oi);
        for (; nj < n_end; ++nj) gap.added.push_back(nj);
        gap.before = before;
        gap.after = last ? -1 : static_cast<long>(matches[k].first);
        if (!gap.removed.empty() || !gap.added.empty()) alignment.gaps.push_back(std::move(gap));
        if (last) break;
        alignment.kept.push_back(matches[k]);
        before = static_cast<long>(matches[k].first);
        ++oi, ++nj;
    }
    return alignment;
}

// --- the lists ------------------------------------------------------------------------------

void EditFinder::visit_kept_items(const Frame& frame, const std::vector<py::object>& items) {
    for (const py::object& item : items) {
        if (!PyTuple_Check(item.ptr())) {
            if (is_node(item)) visit_kept(frame, item);
            continue;
        }
        for (py::handle piece : item)
            if (is_node(piece)) visit_kept(frame, piece);
    }
}

// A call's arguments and keywords, as one list in the order the text has them.
void EditFinder::call_arguments(const Frame& frame, py::handle entry, py::handle recorded,
                                py::handle now) {
    const FieldNames& fields = field_names(frame.node);
    std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
    for (size_t k = 0; k < fields.children.size(); ++k) {
        if (!is_text(fields.children[k], "keywords")) continue;
        for (py::object& keyword : items_of(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(k))))
            old_items.push_back(keyword);
    }
    py::object keywords = getattr_or_null(frame.node, KORVANE_NAME("keywords"));
    for (py::object& keyword : items_of(keywords ? keywords : py::none())) new_items.push_back(keyword);
    if (same_items(old_items, new_items)) return visit_kept_items(frame, old_items);
    comma_items(frame, old_items, new_items);
}

void EditFinder::comma_items(const Frame& frame, const std::vector<py::object>& old_items,
                             const std::vector<py::object>& new_items) {
    for (const py::object& item : old_items)
        if (!has_tokens(item)) throw CannotEdit();
    Alignment alignment = align(old_items, new_items, &identical_nodes);
    for (const auto& kept : alignment.kept) visit_kept(frame, old_items[kept.first]);
    ItemList list;
    list.container = frame.node;
    list.covers = true;
    for (const py::object& item : old_items) list.spans.push_back(span_of(item));
    list.replace = [&](size_t o, size_t n) { replace_child(frame.node, old_items[o], new_items[n]); };
    fill_added(list, alignment, new_items.size(), [&](size_t j) { return render(new_items[j]); });
    edit_gaps(list, alignment);
}

void EditFinder::dict_items(const Frame& frame, const std::vector<py::object>& old_items,
                            const std::vector<py::object>& new_items) {
    for (const py::object& item : new_items)
        if (!is_pair(item)) throw CannotEdit();
    ItemList list;
    list.container = frame.node;
    list.covers = true;
    for (const py::object& item : old_items) {
        if (!is_pair(item) || !has_tokens(part(item, 0)) || !has_tokens(part(item, 1))) throw CannotEdit();
        list.spans.push_back(pair_span(item));
    }
    Alignment alignment = align(old_items, new_items, &same_key);
    for (const auto& kept : alignment.kept) kept_pair(frame, old_items[kept.first], new_items[kept.second]);
    fill_added(list, alignment, new_items.size(), [&](size_t j) { return pair_text(new_items[j]); });
    edit_gaps(list, alignment);
}

// A dict item whose key stayed: its value is walked further, or replaced.
void EditFinder::kept_pair(const Frame& frame, py::handle old_pair, py::handle new_pair) {
    py::handle key = part(old_pair, 0), value = part(old_pair, 1), now = part(new_pair, 1);
    visit_kept(frame, key);
    if (value.ptr() == now.ptr()) return visit_kept(frame, value);
    // `**value` takes an operand that binds tighter than any operator
    if (is_a(key, "DictUnpack")) throw CannotEdit();
    replace_child(frame.node, value, now);
}

// A dict item's tokens: `key: value` or `**value`, with the brackets of each.
Span EditFinder::pair_span(py::handle pair) {
    py::handle key = part(pair, 0), value = part(pair, 1);
    Span to = wrapped(span_of(value));
    if (!is_a(key, "DictUnpack")) return {wrapped(span_of(key)).first, to.last};
    long stars = source_.prev_code(to.first);
    if (!source_.op_is(stars, "**")) throw CannotEdit();
    return {stars, to.last};
}

py::object EditFinder::pair_text(py::handle pair) {
    py::handle key = part(pair, 0), value = part(pair, 1);
    if (!is_a(key, "DictUnpack")) return concat(concat(render(key), py::str(": ")), render(value));
    py::object text = render(value);
    if (!is_atom(value)) text = concat(concat(py::str("("), text), py::str(")"));
    return concat(py::str("**"), text);
}

void EditFinder::bool_operands(const Frame& frame, const std::vector<py::object>& old_items,
                               const std::vector<py::object>& new_items) {
    if (new_items.size() < 2) throw CannotEdit();
    ItemList list;
    list.container = frame.node;
    list.commas = false;
    list.covers = true;
    list.separator = frame.node.attr(KORVANE_NAME("op"));
    for (const py::object& item : old_items) {
        if (!has_tokens(item)) throw CannotEdit();
        list.spans.push_back(wrapped(span_of(item)));
    }
    Alignment alignment = align(old_items, new_items, &identical_nodes);
    for (const auto& kept : alignment.kept) visit_kept(frame, old_items[kept.first]);
    list.replace = [&](size_t o, size_t n) { replace_child(frame.node, old_items[o], new_items[n]); };
    fill_added(list, alignment, new_items.size(),
               [&](size_t j) { return bracketed(frame.node, new_items[j], py::handle()); });
    edit_gaps(list, alignment);
}

void EditFinder::compare_operands(const Frame& frame, const std::vector<py::object>& old_items,
                                  const std::vector<py::object>& new_items) {
    if (new_items.empty() || old_items.empty() || !has_tokens(frame.node)) throw CannotEdit();
    ItemList list;
    list.container = frame.node;
    list.commas = false;
    list.covers = true;
    for (const py::object& item : new_items)
        if (!is_pair(item)) throw CannotEdit();
    for (const py::object& item : old_items) {
        if (!is_pair(item) || !has_tokens(part(item, 1))) throw CannotEdit();
        list.spans.push_back(comparison_span(item));
    }
    // the left side: from the comparison's start to the first operator
    list.lead = {source_.first_of(frame.node), source_.prev_code(list.spans[0].first)};
    Alignment alignment = align(old_items, new_items, &same_operand);
    for (const auto& kept : alignment.kept) replace_comparison(frame, old_items[kept.first], new_items[kept.second]);
    list.replace = [&](size_t o, size_t n) { replace_comparison(frame, old_items[o], new_items[n]); };
    fill_added(list, alignment, new_items.size(),
               [&](size_t j) { return comparison_text(frame.node, new_items[j]); });
    edit_gaps(list, alignment);
}

// A comparison's pair as tokens: its operator (one word or two) and its operand.
Span EditFinder::comparison_span(py::handle pair) {
    Span operand = wrapped(span_of(part(pair, 1)));
    py::handle op = part(pair, 0);
    long words = is_text(op, "not in") || is_text(op, "is not") ? 2 : 1;
    long first = operand.first;
    for (long k = 0; k < words; ++k) first = source_.prev_code(first);
    if (first < 0) throw CannotEdit();
    return {first, operand.last};
}

py::object EditFinder::comparison_text(py::handle compare, py::handle pair) {
    py::str op(part(pair, 0));
    return concat(concat(op, py::str(" ")), bracketed(compare, part(pair, 1), py::handle()));
}

// A pair of a comparison put where another stood: its operand alone when the
// operator stayed, else both.
void EditFinder::replace_comparison(const Frame& frame, py::handle old_pair, py::handle new_pair) {
    py::handle operand = part(old_pair, 1), now = part(new_pair, 1);
    if (same_part(part(old_pair, 0), part(new_pair, 0))) {
        if (operand.ptr() == now.ptr()) return visit_kept(frame, operand);
        return replace_child(frame.node, operand, now);
    }
    Span span = comparison_span(old_pair);
    add(start_of(span), end_of(span), comparison_text(frame.node, new_pair), frame.node, true);
}

// The edits of an import's names, one name at a time.
bool EditFinder::import_names(const Frame& frame, py::handle recorded, py::handle now) {
    std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
    if (new_items.empty()) return false;
    for (const py::object& pair : old_items)
        if (is_text(pair[py::int_(0)], "*")) return false;
    ItemList list;
    list.container = frame.node;
    list.restructures = true;  // an import's names are laid out anew
    list.spans = import_spans(frame.node);
    if (list.spans.size() != old_items.size()) return false;
    Alignment alignment = align(old_items, new_items, &equal_values);
    fill_added(list, alignment, new_items.size(), [&](size_t j) { return import_text(new_items[j]); });
    edit_gaps(list, alignment);
    return true;
}

// The names of an import as token spans: `name`, `a.b`, `name as alias`.
std::vector<Span> EditFinder::import_spans(py::handle node) {
    long first = source_.first_of(node), last = source_.last_of(node);
    long i = first;
    while (i <= last && !is_text(source_.string(i), "import")) ++i;
    std::vector<Span> spans;
    long j = source_.next_code(i);
    if (source_.op_is(j, "(")) j = source_.next_code(j);
    while (j <= last) {
        Span span{j, j};
        long k = source_.next_code(j);
        while (k <= last && (source_.op_is(k, ".") || source_.op_is(span.last, "."))) {
            span.last = k;
            k = source_.next_code(k);
        }
        if (k <= last && is_text(source_.string(k), "as")) {
            span.last = source_.next_code(k);
            k = source_.next_code(span.last);
        }
        spans.push_back(span);
        if (!source_.op_is(k, ",")) break;
        j = source_.next_code(k);
        if (j > last || source_.op_is(j, ")")) break;
    }
    return spans;
}

// --- the gaps -----------------------------------------------------------------------------------

void EditFinder::edit_gaps(ItemList& list, const Alignment& alignment) {
    for (const Gap& gap : alignment.gaps) edit_gap(list, gap);
}

// The edits of one gap: an added item takes the place of an item removed there, the
// other removed ones go in runs of neighbours, the other added ones follow the last
// item replaced, else the kept item before the gap, else they go before the one
// after it, else between the container's brackets.
void EditFinder::edit_gap(ItemList& list, const Gap& gap) {
    size_t paired = std::min(gap.removed.size(), gap.added.size());
    for (size_t i = 0; i < paired; ++i) {
        if (list.replace) {
            list.replace(gap.removed[i], gap.added[i]);
            continue;
        }
        const Span& span = list.spans[gap.removed[i]];
        add(start_of(span), end_of(span), list.texts[gap.added[i]], list.container, list.covers,
            list.restructures);
    }
    remove_runs(list, std::vector<size_t>(gap.removed.begin() + static_cast<std::ptrdiff_t>(paired),
                                          gap.removed.end()));
    std::vector<py::object> rest;
    for (size_t k = paired; k < gap.added.size(); ++k) rest.push_back(list.texts[gap.added[k]]);
    if (rest.empty()) return;
    long anchor = paired > 0 ? static_cast<long>(gap.removed[paired - 1]) : gap.before;
    if (!list.commas) return insert_operands(list, anchor, gap.after, rest);
    if (anchor >= 0) {
        insert_after(list.spans[static_cast<size_t>(anchor)], rest, list.container);
    } else if (gap.after >= 0) {
        insert_before(list.spans[static_cast<size_t>(gap.after)], rest, list.container);
    } else {
        insert_into_empty(list.container, rest);
    }
}

// Removes items, grouped into runs that stand next to each other in the text.
void EditFinder::remove_runs(const ItemList& list, std::vector<size_t> gone) {
    if (gone.empty()) return;
    std::vector<size_t> rank = position_ranks(list.spans);
    std::vector<size_t> at_rank(rank.size());
    for (size_t i = 0; i < rank.size(); ++i) at_rank[rank[i]] = i;
    std::sort(gone.begin(), gone.end(), [&](size_t a, size_t b) { return rank[a] < rank[b]; });
    auto remove_run = [&](size_t from, size_t to) {
        Span run{list.spans[at_rank[from]].first, list.spans[at_rank[to]].last};
        if (list.commas) return remove_items(run, list.container);
        long previous = from > 0 ? static_cast<long>(at_rank[from - 1]) : -1;
        long next = to + 1 < rank.size() ? static_cast<long>(at_rank[to + 1]) : -1;
        remove_operands(list, run, previous, next);
    };
    size_t from = rank[gone[0]], to = from;
    for (size_t k = 1; k < gone.size(); ++k) {
        size_t at = rank[gone[k]];
        if (at == to + 1) {
            to = at;
            continue;
        }
        remove_run(from, to);
        from = to = at;
    }
    remove_run(from, to);
}

// --- comma-separated items ------------------------------------------------------------------

// Removes a run of adjacent items with the comma that goes with them.
void EditFinder::remove_items(const Span& run, py::handle region_node) {
    long a = run.first, b = run.last;
    long n = source_.next_code(b);
    long p = source_.prev_code(a);
    if (source_.op_is(n, ",")) return remove_items_with_comma(a, n, region_node);
    bool own_lines = source_.starts_line(a) && source_.ends_line(b);
    if (source_.op_is(p, ",")) {
        // the comma before them on their line, or on the line a backslash continues
        if (source_.last_line(p) == source_.line(a) || !source_.starts_line(a)) {
            remove_inline(source_.startpos(p), source_.endpos(b), region_node);
            return;
        }
        remove_inline(source_.startpos(p), source_.endpos(p), region_node);
    }
    if (own_lines) {
        remove_lines(source_.line_start_at(source_.startpos(a)), source_.past_line(source_.endpos(b)),
                     source_.indentation_of(a), region_node);
    } else {
        remove_inline(source_.startpos(a), source_.endpos(b), region_node);
    }
}

// Removes items from token a to the comma n after them: their whole lines when they
// stand on lines of their own, else up to what follows on the comma's line, else
// from the end of what comes before them.
void EditFinder::remove_items_with_comma(long a, long n, py::handle region_node) {
    long after = source_.next_code(n);
    if (source_.starts_line(a) && source_.ends_line(n)) {
        remove_lines(source_.line_start_at(source_.startpos(a)), source_.past_line(source_.endpos(n)),
                     source_.indentation_of(a), region_node);
    } else if (after < source_.count() && source_.line(after) == source_.last_line(n)) {
        remove_inline(source_.startpos(a), source_.startpos(after), region_node);
    } else {
        long p = source_.prev_code(a);
        remove_inline(p >= 0 ? source_.endpos(p) : source_.startpos(a), source_.endpos(n), region_node);
    }
}

// Inserts rendered items after the item `anchor`: each on a line of its own where
// the anchor stands alone on its line, else after it on the same line.
void EditFinder::insert_after(const Span& anchor, const std::vector<py::object>& texts,
                              py::handle region_node) {
    long n = source_.next_code(anchor.last);
    bool comma = source_.op_is(n, ",");
    if (source_.starts_line(anchor.first) && source_.ends_line(comma ? n : anchor.last))
        return insert_lines_after(anchor, texts, comma, region_node);
    py::list parts;
    for (const py::object& text : texts) parts.append(concat(py::str(", "), text));
    Py_ssize_t at = source_.endpos(anchor.last);
    add(at, at, join("", parts), region_node, false, true);
}

void EditFinder::insert_lines_after(const Span& anchor, const std::vector<py::object>& texts,
                                    bool comma, py::handle region_node) {
    py::str indentation = source_.indentation_of(anchor.first);
    py::list lines;
    for (size_t i = 0; i < texts.size(); ++i) {
        bool last = i + 1 == texts.size();
        py::str line = concat(concat(py::str("\n"), indentation), texts[i]);
        lines.append(last && !comma ? line : concat(line, py::str(",")));
    }
    Py_ssize_t end = source_.endpos(anchor.last);
    if (!comma) add(end, end, py::str(","), region_node, false, true);
    Py_ssize_t at = source_.line_end_at(source_.endpos(comma ? source_.next_code(anchor.last) : anchor.last));
    add(at, at, join("", lines), region_node, false, true);
}

// Inserts rendered items before the item `next`, the first one.
void EditFinder::insert_before(const Span& next, const std::vector<py::object>& texts,
                               py::handle region_node) {
    py::list parts;
    if (source_.starts_line(next.first)) {
        py::str indentation = source_.indentation_of(next.first);
        for (const py::object& text : texts) parts.append(concat(concat(indentation, text), py::str(",\n")));
        Py_ssize_t at = source_.line_start_at(source_.startpos(next.first));
        add(at, at, join("", parts), region_node, false, true);
        return;
    }
    for (const py::object& text : texts) parts.append(concat(text, py::str(", ")));
    Py_ssize_t at = source_.startpos(next.first);
    add(at, at, join("", parts), region_node, false, true);
}

// Inserts rendered items between the brackets of a container that had none; the
// opening bracket is the code token before its last token.
void EditFinder::insert_into_empty(py::handle container, const std::vector<py::object>& texts) {
    long open = source_.prev_code(source_.last_of(container));
    if (!(source_.op_is(open, "(") || source_.op_is(open, "[") || source_.op_is(open, "{")))
        throw CannotEdit();
    py::list parts;
    for (const py::object& text : texts) parts.append(text);
    Py_ssize_t at = source_.endpos(open);
    add(at, at, join(", ", parts), container, false, true);
}

// --- operands ---------------------------------------------------------------------------------

// Removes a run of operands with the operator that parts it from the operand before
// it (or the comparison's left side), else from the one after it.
void EditFinder::remove_operands(const ItemList& list, const Span& run, long previous, long next) {
    if (previous >= 0 || list.lead.first >= 0) {
        const Span& before = previous >= 0 ? list.spans[static_cast<size_t>(previous)] : list.lead;
        return remove_inline(end_of(before), end_of(run), list.container);
    }
    if (next < 0) throw CannotEdit();
    remove_inline(start_of(run), start_of(list.spans[static_cast<size_t>(next)]), list.container);
}

// Inserts operands after the operand `anchor` (or the left side), else before the
// operand `after`, each parted from its neighbour by the operator.
void EditFinder::insert_operands(const ItemList& list, long anchor, long after,
                                 const std::vector<py::object>& texts) {
    py::str joint = list.separator ? concat(concat(py::str(" "), list.separator), py::str(" ")) : py::str(" ");
    const Span* before = anchor >= 0 ? &list.spans[static_cast<size_t>(anchor)]
                                     : (list.lead.first >= 0 ? &list.lead : nullptr);
    py::list parts;
    if (before) {
        for (const py::object& text : texts) parts.append(concat(joint, text));
        add(end_of(*before), end_of(*before), join("", parts), list.container, false, true);
        return;
    }
    if (after < 0) throw CannotEdit();
    for (const py::object& text : texts) parts.append(concat(text, joint));
    Py_ssize_t at = start_of(list.spans[static_cast<size_t>(after)]);
    add(at, at, join("", parts), list.container, false, true);
}

}  // namespace korvane::suggest

"""The fixed text as edits of the original: only what the fixes changed is rewritten,
every other byte (comments, layout, quotes, trailing commas, literals) stays."""
import itertools
import sys

import astroid
import pytest

from korvane.staticanalysis import helpers, suggest

_numbers = itertools.count()


def view(source):
    atok = helpers.build_atok(source, modname=f"shop.edited_{next(_numbers)}")
    suggest.record_tree(atok)
    return atok


def call(atok, index=0):
    """The value of the index-th top-level assignment (a call, mostly)."""
    return atok.tree.body[index].value


def keyword(node, name, value):
    new = astroid.Keyword(arg=name, parent=node)
    new.postinit(astroid.Const(value, parent=new))
    return new


def add_keyword(name, value):
    def edit(atok):
        node = call(atok)
        node.keywords.append(keyword(node, name, value))
    return edit


def drop_keyword(name):
    def edit(atok):
        node = call(atok)
        node.keywords = [k for k in node.keywords if k.arg != name]
    return edit


def rename_callee(new_name):
    def edit(atok):
        call(atok).func.attrname = new_name
    return edit


def replace_value(name, value):
    def edit(atok):
        for k in call(atok).keywords:
            if k.arg == name:
                k.value = astroid.Const(value, parent=k)
    return edit


def rename_keyword(old, new):
    def edit(atok):
        for k in call(atok).keywords:
            if k.arg == old:
                k.arg = new
    return edit


def add_element(position, value):
    def edit(atok):
        node = call(atok)
        node.elts.insert(position, astroid.Const(value, parent=node))
    return edit


def append_statement(code):
    def edit(atok):
        statement = astroid.extract_node(code)
        statement.parent = atok.tree
        atok.tree.body.append(statement)
    return edit


def remove_statement(index):
    def edit(atok):
        del atok.tree.body[index]
    return edit


def replace_last_statement(code):
    def edit(atok):
        remove_statement(-1)(atok)
        append_statement(code)(atok)
    return edit


def edit_import(names):
    def edit(atok):
        atok.tree.body[0].names = names
    return edit


def to_count(node):
    """`len(x)` as the QuerySet fix makes it: `x.count()`, built around `x` itself."""
    receiver = node.args[0]
    new = astroid.Call(lineno=node.lineno, col_offset=node.col_offset, parent=node.parent)
    func = astroid.Attribute(attrname="count", parent=new)
    func.postinit(receiver)
    new.postinit(func=func, args=[], keywords=[])
    return new


def counts(atok):
    """Every `len(...)` becomes a count() call, through the tree library's transform
    visitor as the fix road runs it (it rebuilds the pairs of a dict or a comparison
    around a replaced node)."""
    visitor = astroid.transforms.TransformVisitor()
    visitor.register_transform(
        astroid.Call, to_count, lambda node: isinstance(node.func, astroid.Name) and node.func.name == "len")
    visitor.visit(atok.tree)


def add_dict_item(key, value):
    def edit(atok):
        node = call(atok)
        node.items = node.items + [(astroid.Const(key, parent=node), astroid.Const(value, parent=node))]
    return edit


def drop_dict_item(key):
    def edit(atok):
        node = call(atok)
        node.items = [(k, v) for k, v in node.items if getattr(k, "value", None) != key]
    return edit


def drop_element(index):
    def edit(atok):
        del call(atok).elts[index]
    return edit


def drop_operand(index):
    def edit(atok):
        del call(atok).values[index]
    return edit


def add_operand(name):
    def edit(atok):
        node = call(atok)
        node.values.append(astroid.Name(name, parent=node))
    return edit


def drop_comparison(index):
    def edit(atok):
        del call(atok).ops[index]
    return edit


def add_to_body(index, position, code):
    def edit(atok):
        statement = astroid.extract_node(code)
        statement.parent = atok.tree.body[index]
        atok.tree.body[index].body.insert(position, statement)
    return edit


def insert_statement(position, code):
    def edit(atok):
        statement = astroid.extract_node(code)
        statement.parent = atok.tree
        atok.tree.body.insert(position, statement)
    return edit


CASES = [
    # keywords added inline, after the last argument
    ("f = F(a, b=1)  # note\n", add_keyword("blank", True),
     "f = F(a, b=1, blank=True)  # note\n"),
    # into an empty argument list
    ("f = F()\n", add_keyword("blank", True), "f = F(blank=True)\n"),
    # one argument to a line, with a magic trailing comma: a line of its own
    ("f = F(\n    a,  # first\n    b=1,\n)\n", add_keyword("blank", True),
     "f = F(\n    a,  # first\n    b=1,\n    blank=True,\n)\n"),
    # one to a line without a trailing comma: the comma goes after the old last one
    ("f = F(\n    a,\n    b=1  # last\n)\n", add_keyword("blank", True),
     "f = F(\n    a,\n    b=1,  # last\n    blank=True\n)\n"),
    # keywords removed with their comma, wherever they stand
    ("f = F(a, null=False, b=1)\n", drop_keyword("null"), "f = F(a, b=1)\n"),
    ("f = F(a, b=1, null=False)\n", drop_keyword("null"), "f = F(a, b=1)\n"),
    ("f = F(null=False)\n", drop_keyword("null"), "f = F()\n"),
    # a removed line keeps its comment, at the item's indentation
    ("f = F(\n    a,\n    null=False,  # legacy\n    b=1,\n)\n", drop_keyword("null"),
     "f = F(\n    a,\n    # legacy\n    b=1,\n)\n"),
    ("f = F(\n    a,\n    null=False\n)\n", drop_keyword("null"), "f = F(\n    a\n)\n"),
    # names change in their one token: spacing and comments around them stay
    ("f = models . CharField(max_length=9)\n", rename_callee("TextField"),
     "f = models . TextField(max_length=9)\n"),
    ("f = F(null = True)\n", rename_keyword("null", "default"), "f = F(default = True)\n"),
    # a replaced value: only the value's text
    ("f = F(blank=False, title='It''s')\n", replace_value("blank", True),
     "f = F(blank=True, title='It''s')\n"),
    # list elements, first and last, one to a line
    ("M = [\n    'a',\n    'b',\n]\n", add_element(0, "z"), "M = [\n    'z',\n    'a',\n    'b',\n]\n"),
    ("M = ['a', 'b']\n", add_element(2, "z"), "M = ['a', 'b', 'z']\n"),
    # a new statement at the end, with or without a final line feed
    ("A = 1\n", append_statement("B = True"), "A = 1\nB = True\n"),
    ("A = 1", append_statement("B = True"), "A = 1\nB = True"),
    # a removed statement keeps its trailing comment
    ("A = 1\nB = False  # why\nC = 3\n", remove_statement(1), "A = 1\n# why\nC = 3\n"),
    ("A = 1; B = 2\n", remove_statement(1), "A = 1\n"),
    # an import's names, one at a time, in an import spread over lines
    ("from django.urls import (\n    path,  # routes\n    reverse_lazy,\n)\n",
     edit_import([("path", None), ("reverse", None), ("reverse_lazy", None)]),
     "from django.urls import (\n    path,  # routes\n    reverse,\n    reverse_lazy,\n)\n"),
    ("from django.urls import path, reverse_lazy as lazy\n",
     edit_import([("path", None), ("reverse", None)]),
     "from django.urls import path, reverse\n"),
    # ... and on lines a backslash continues: a name goes inline, and a removed one
    # takes its comma and backslash with it
    ("from django.db.models import CharField, \\\n    Model\n",
     edit_import([("CharField", None), ("Model", None), ("TextField", None)]),
     "from django.db.models import CharField, \\\n    Model, TextField\n"),
    ("from django.urls import path, reverse, \\\n    reverse_lazy\nfrom .models import Book\n",
     edit_import([("path", None), ("reverse", None)]),
     "from django.urls import path, reverse\nfrom .models import Book\n"),
    # a replaced expression keeps the text of what it is built around, and gets the
    # brackets its place needs
    ("n = len(Book.objects.filter(title=\"x\"))\n", counts,
     "n = Book.objects.filter(title=\"x\").count()\n"),
    ("n = len(a or b)\n", counts, "n = (a or b).count()\n"),
    # a receiver written over lines keeps brackets to stay one expression
    ("n = len(\n    Book.objects\n    .filter(x=1)\n)\n", counts,
     "n = (Book.objects\n    .filter(x=1)).count()\n"),
    ("n = len(\n    books  # on the shelf\n    .all()\n)\n", counts,
     "n = (books  # on the shelf\n    .all()).count()\n"),
    ("n = len(Book.objects.filter(\n    title=\"x\",\n))\n", counts,
     "n = Book.objects.filter(\n    title=\"x\",\n).count()\n"),
    # a dict item's value, a boolean operand, a comparison operand: only their text
    ('context = {\n    "object_list": featured,  # shown first\n    "count": len(books),\n}\n', counts,
     'context = {\n    "object_list": featured,  # shown first\n    "count": books.count(),\n}\n'),
    ("ok = (\n    shelf.is_open  # doors\n    and len(books)\n)\n", counts,
     "ok = (\n    shelf.is_open  # doors\n    and books.count()\n)\n"),
    ("many = (\n    10 < len(books)  # more than a box\n    <= limit\n)\n", counts,
     "many = (\n    10 < books.count()  # more than a box\n    <= limit\n)\n"),
    # dict items, operands and comparisons added and removed with their separators
    ('c = {"a": 1, "b": 2}\n', add_dict_item("c", 3), 'c = {"a": 1, "b": 2, \'c\': 3}\n'),
    ('c = {\n    "a": 1,\n    "b": 2,  # old\n}\n', drop_dict_item("b"), 'c = {\n    "a": 1,\n    # old\n}\n'),
    ('c = {**base, "b": (2)}\n', drop_dict_item("b"), 'c = {**base}\n'),
    ("ok = a and (b) and c\n", drop_operand(1), "ok = a and c\n"),
    ("ok = a and b and c\n", drop_operand(0), "ok = b and c\n"),
    ("ok = a or b\n", add_operand("c"), "ok = a or b or c\n"),
    ("ok = a < b not in c\n", drop_comparison(1), "ok = a < b\n"),
    # an expression inside an f-string: only its field, whatever the literal is like
    ("n = f'{len(books)} books'\n", counts, "n = f'{books.count()} books'\n"),
    ('raise ValueError(f"too many books "  # one shelf\n                 f"(got {len(books)})")\n', counts,
     'raise ValueError(f"too many books "  # one shelf\n                 f"(got {books.count()})")\n'),
    ('n = f"""{len(books)}\n  books"""\n', counts, 'n = f"""{books.count()}\n  books"""\n'),
    ("n = f'{len(books)} say \"hi\"'\n", counts, "n = f'{books.count()} say \"hi\"'\n"),
    ('n = f"{ len(books) !r:>{width}}"\n', counts, 'n = f"{ books.count() !r:>{width}}"\n'),
    ("n = f\"{len(books.filter(title='Dune'))} copies\"\n", counts,
     "n = f\"{books.filter(title='Dune').count()} copies\"\n"),
    # an unchanged f-string inside a node rendered whole keeps its text
    ('t = (f"{a} "  # first\n     f"{b}", 2)\n', drop_element(1),
     't = ((f"{a} "  # first\n     f"{b}"), )\n'),
    # a statement without an edit stays as written, an f-string with calls in it too
    ('f = F(a)\nraise ValueError(f"no shelf " f"(got {type(pk).__name__})")\n', add_keyword("blank", True),
     'f = F(a, blank=True)\nraise ValueError(f"no shelf " f"(got {type(pk).__name__})")\n'),
    # a statement added after one that shares its line goes on a line of its own
    ('SECRET_KEY = os.environ["KEY"]; DEBUG = False\n', append_statement("SECURE_HSTS_SECONDS = 31536000"),
     'SECRET_KEY = os.environ["KEY"]; DEBUG = False\nSECURE_HSTS_SECONDS = 31536000\n'),
    ("if DEBUG:\n    A = 1; B = 2\n", add_to_body(0, 2, "C = 3"), "if DEBUG:\n    A = 1; B = 2\n    C = 3\n"),
    # the last statement replaced at the end of a text without a final line feed
    ("A = 1\nB = 2", replace_last_statement("C = 3"), "A = 1\nC = 3"),
    ("A = 1\nB = 2  # old", replace_last_statement("C = 3"), "A = 1\n# old\nC = 3"),
    ("A = 1; B = 2", replace_last_statement("C = 3"), "A = 1\nC = 3"),
    ("B = 2", replace_last_statement("C = 3"), "C = 3"),
]


@pytest.mark.parametrize("source, edit, expected", CASES)
def test_only_what_changed_is_edited(source, edit, expected):
    atok = view(source)
    edit(atok)
    assert suggest.edited_text(atok) == expected


def test_nothing_changed_gives_the_text_back_byte_for_byte():
    source = "# -*- coding: latin-1 -*-\nA = 0x_FF  \t# odd\n\x0c\nB = 1e-3j  # \u2028 caf\xe9\n"
    atok = view(source)
    assert suggest.edited_text(atok) == source


def test_a_statement_comes_from_its_first_token_to_the_end_of_its_last_line():
    atok = view("class Book:\n    pages = F(\n        null=True,  # c\n    )  # end\n")
    node = atok.tree.body[0].body[0]
    node.value.keywords.append(keyword(node.value, "blank", True))
    assert suggest.edited_text(atok, node=node) == (
        "pages = F(\n        null=True,  # c\n        blank=True,\n    )  # end")


@pytest.mark.parametrize("source, why", [
    # the new expression would need the string's own quote, or a backslash
    ("title = f'{len(books.filter(title=\"Dune\"))} copies'\nn = len(books)\n", "the string's own quote"),
    ("title = f\"\"\"{len(books.filter(title='''Dune\nMessiah'''))} copies\"\"\"\nn = len(books)\n",
     "a backslash"),
])
def test_a_fix_that_its_f_string_cannot_hold_leaves_its_statement_as_written(source, why):
    atok = view(source)
    counts(atok)
    assert suggest.edited_text(atok) == source.replace("n = len(books)", "n = books.count()")
    assert suggest.is_unchanged(atok, atok.tree.body[0])
    [(statement, reason)] = atok.unwritten_fixes
    assert statement is atok.tree.body[0]
    assert reason.startswith("line 1: the fixed expression") and reason.endswith(why)
    # the statement alone has no text to give
    atok = view(source)
    counts(atok)
    with pytest.raises(ValueError, match="line 1: .* f-string"):
        suggest.edited_text(atok, node=atok.tree.body[0])
    assert suggest.is_unchanged(atok, atok.tree.body[0])


@pytest.mark.parametrize("source, edit, reason", [
    ("if DEBUG: INTERNAL_IPS = ['127.0.0.1']\n", add_to_body(0, 1, "X = 1"), "line 1: .* header's line"),
    ("A = 1; B = 2\n", insert_statement(1, "C = 3"), "line 1: .* share a line"),
])
def test_a_statement_that_cannot_have_a_line_of_its_own_is_refused(source, edit, reason):
    atok = view(source)
    edit(atok)
    with pytest.raises(ValueError, match=reason):
        suggest.edited_text(atok)


def test_a_very_deep_expression_is_recorded_and_edited_without_recursion():
    source = "x = " + " + ".join(["1"] * 900) + "\nf = F()\n"
    # astroid builds the tree recursively; recording and editing it must not
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)
    try:
        atok = helpers.build_atok(source, modname=f"shop.edited_{next(_numbers)}")
    finally:
        sys.setrecursionlimit(limit)
    node = atok.tree.body[1].value
    sys.setrecursionlimit(120)
    try:
        suggest.record_tree(atok)
        node.keywords.append(keyword(node, "blank", True))
        text = suggest.edited_text(atok)
    finally:
        sys.setrecursionlimit(limit)
    assert text.endswith("f = F(blank=True)\n")


def test_a_dropped_comment_is_an_error_not_a_text_without_it():
    atok = view("n = len(\n    books,  # every one\n)\n")
    atok.tree.body[0].value = astroid.Name("shelf", parent=atok.tree.body[0])
    with pytest.raises(suggest.LostCommentError, match="every one"):
        suggest.edited_text(atok)


def test_edited_text_needs_the_record():
    atok = helpers.build_atok("A = 1\n", modname=f"shop.edited_{next(_numbers)}")
    with pytest.raises(ValueError, match="record"):
        suggest.edited_text(atok)


STYLE = {"line_length": 40}


def test_a_code_style_formats_only_the_statements_an_edit_touched():
    source = ("import os\n"
              "x = [1,2]  # untouched, unformatted\n"
              "class Book:\n"
              "    title = F(max_length=200, null=True, verbose_name='title')\n")
    atok = view(source)
    node = atok.tree.body[2].body[0].value
    node.keywords.append(keyword(node, "blank", True))
    text = suggest.edited_text(atok, code_style=STYLE)
    assert text.startswith("import os\nx = [1,2]  # untouched, unformatted\nclass Book:\n")
    # formatted where it stands: four columns of indentation count against the length
    assert text.split("class Book:\n")[1] == (
        "    title = F(\n"
        "        max_length=200,\n"
        "        null=True,\n"
        "        verbose_name='title',\n"
        "        blank=True,\n"
        "    )\n")
    assert all(len(line) <= 40 for line in text.splitlines()[2:])


def test_one_operation_of_a_migration_is_formatted_alone():
    source = ("operations = [\n"
              "    migrations.RunSQL( 'select 1' ),\n"
              "    migrations.RunPython(forwards),  # the data\n"
              "]\n")
    atok = view(source)
    run_python = call(atok).elts[1]
    run_python.args.append(astroid.Name("migrations.RunPython.noop", parent=run_python))
    text = suggest.edited_text(atok, code_style={"line_length": 60})
    assert text == ("operations = [\n"
                    "    migrations.RunSQL( 'select 1' ),\n"
                    "    migrations.RunPython(\n"
                    "        forwards, migrations.RunPython.noop\n"
                    "    ),  # the data\n"
                    "]\n")


def replace_child(old, new):
    parent = new.parent = old.parent
    for name in parent._astroid_fields:
        value = getattr(parent, name)
        if value is old:
            setattr(parent, name, new)
        elif isinstance(value, list) and any(item is old for item in value):
            value[[item is old for item in value].index(True)] = new


def direct_fk_lookups(atok):
    """`x.rel.id` becomes `x.rel_id`, as the foreign-key fix builds it."""
    for node in list(atok.tree.nodes_of_class(astroid.Attribute)):
        if node.attrname == "id" and isinstance(node.expr, astroid.Attribute):
            new = astroid.Attribute(attrname=node.expr.attrname + "_id")
            new.postinit(node.expr.expr)
            replace_child(node, new)


def field_call(atok):
    return next(atok.tree.nodes_of_class(astroid.Call))


def in_field(edit):
    """An edit of the keywords of the module's first call."""
    def apply(atok):
        node = field_call(atok)
        edit(node)
    return apply


def add_blank(node):
    node.keywords.append(keyword(node, "blank", True))


def blank_to_null(node):
    for k in node.keywords:
        if k.arg == "blank":
            k.arg = "null"


def null_to_empty_default(node):
    for k in node.keywords:
        if k.arg == "null":
            k.arg = "default"
            k.value = astroid.Const("", parent=k)


VIEW = 'from django.shortcuts import redirect\n\n\ndef edit_template(request, x):\n{}\n'
MODEL = 'from django.db import models\n\n\nclass Book(models.Model):\n{}\n'

LAYOUT_CASES = [
    # a replaced attribute inside a call laid out by hand: the lines stay as written
    (VIEW.format('    return redirect("projects:template",\n'
                 '                    x.creation_template.id)'),
     direct_fk_lookups, 88,
     VIEW.format('    return redirect("projects:template",\n'
                 '                    x.creation_template_id)')),
    # ... and its single quotes, like its neighbours', in a module whose quotes are
    # as often double ones
    (VIEW.format('    label, title = "Orders", "Customer orders"\n'
                 "    orders = Order.objects.filter(customer=x.customer.id).values('status')\n"
                 "    return redirect('orders', *orders)"),
     direct_fk_lookups, 88,
     VIEW.format('    label, title = "Orders", "Customer orders"\n'
                 "    orders = Order.objects.filter(customer=x.customer_id).values('status')\n"
                 "    return redirect('orders', *orders)")),
    # a line already longer than the line length that the edit does not lengthen
    (VIEW.format('    response = redirect("projects:template", x.creation_template.id, tab="settings", page=2)\n'
                 '    return response'),
     direct_fk_lookups, 88,
     VIEW.format('    response = redirect("projects:template", x.creation_template_id, tab="settings", page=2)\n'
                 '    return response')),
    # a renamed keyword in a ForeignKey of 79 columns and a comment, at a line
    # length of 79
    (MODEL.format('    reviewed_by = models.ForeignKey("staff.Staff", models.SET_NULL, blank=True)  # last'),
     in_field(blank_to_null), 79,
     MODEL.format('    reviewed_by = models.ForeignKey("staff.Staff", models.SET_NULL, null=True)  # last')),
    # a literal the edit brings into a line kept as it is takes the file's quote
    (MODEL.format("    subtitle = models.CharField(max_length=255, null=True, blank=True)"),
     in_field(null_to_empty_default), 88,
     MODEL.format('    subtitle = models.CharField(max_length=255, default="", blank=True)')),
    (MODEL.format("    subtitle = models.CharField(max_length=255, null=True, blank=True)\n"
                  "    title = models.CharField(max_length=255, verbose_name='title')"),
     in_field(null_to_empty_default), 88,
     MODEL.format("    subtitle = models.CharField(max_length=255, default='', blank=True)\n"
                  "    title = models.CharField(max_length=255, verbose_name='title')")),
    # a literal inside an f-string's field keeps the quote its string needs
    (VIEW.format('    title = "Shelf report"\n'
                 '    return f"{title + f\' ({len(books)})\'} for shelf {x}"'),
     counts, 88,
     VIEW.format('    title = "Shelf report"\n'
                 '    return f"{title + f\' ({books.count()})\'} for shelf {x}"')),
    # an edit that makes a line too long: the statement is formatted
    (MODEL.format('    title = models.CharField(max_length=120, null=True, help_text="Shown in every list")'),
     in_field(null_to_empty_default), 88,
     MODEL.format('    title = models.CharField(\n'
                  '        max_length=120, default="", help_text="Shown in every list"\n'
                  '    )')),
    # an added keyword: the statement is formatted
    (MODEL.format("    title = models.CharField( max_length=200 )"), in_field(add_blank), 88,
     MODEL.format("    title = models.CharField(max_length=200, blank=True)")),
    # never inside `# fmt: off` .. `# fmt: on`, or on a line with `# fmt: skip`
    (MODEL.format("    # fmt: off\n"
                  "    code = models.CharField( max_length = 20 , null = True )\n"
                  "    # fmt: on\n"
                  "    name = models.CharField(max_length=20)"),
     in_field(add_blank), 88,
     MODEL.format("    # fmt: off\n"
                  "    code = models.CharField( max_length = 20 , null = True, blank=True )\n"
                  "    # fmt: on\n"
                  "    name = models.CharField(max_length=20)")),
    (MODEL.format("    code = models.CharField( max_length = 20 , null = True )  # fmt: skip"),
     in_field(add_blank), 88,
     MODEL.format("    code = models.CharField( max_length = 20 , null = True, blank=True )  # fmt: skip")),
    (MODEL.format("    # fmt: off\n    code = models.CharField( max_length = 20 , null = True )"),
     in_field(add_blank), 88,
     MODEL.format("    # fmt: off\n    code = models.CharField( max_length = 20 , null = True, blank=True )")),
]


@pytest.mark.parametrize("source, edit, line_length, expected", LAYOUT_CASES)
def test_a_touched_statement_keeps_its_layout_unless_the_edit_needs_a_new_one(
        source, edit, line_length, expected):
    atok = view(source)
    edit(atok)
    style = {"line_length": line_length}
    assert suggest.edited_text(atok, code_style=style) == expected
    # the suggestion road gives the same lines
    statement = next(n for n in atok.tree.nodes_of_class(astroid.Call)).statement()
    lines = suggest.edited_text(atok, node=statement, code_style=style).split("\n")
    first = statement.fromlineno - 1
    expected_lines = expected.split("\n")[first:first + len(lines)]
    assert [expected_lines[0].lstrip()] + expected_lines[1:] == lines


@pytest.mark.parametrize("source, expected", [
    # a statement beside it, after it or before it
    (MODEL.format("    code = models.CharField(max_length=20, null=True); name = models.CharField(max_length=80)"),
     MODEL.format("    code = models.CharField(max_length=20, null=True, blank=True); "
                  "name = models.CharField(max_length=80)")),
    ("x = 1; f = F(a, null=True)\n", "x = 1; f = F(a, null=True, blank=True)\n"),
    # the header it follows
    ("class Meta: ordering = F(a, null=True)\n", "class Meta: ordering = F(a, null=True, blank=True)\n"),
    ("if DEBUG: f = F(a, null=True)\nelse: f = None\n", "if DEBUG: f = F(a, null=True, blank=True)\nelse: f = None\n"),
])
def test_a_statement_sharing_its_lines_with_other_code_is_left_as_the_edit_made_it(source, expected):
    atok = view(source)
    in_field(add_blank)(atok)
    assert suggest.edited_text(atok, code_style={"line_length": 88}) == expected


def test_a_compound_statement_has_only_its_header_formatted():
    source = "if   shelved(books):\n    x = [1,2]\n"
    atok = view(source)
    test = atok.tree.body[0].test
    test.keywords = [keyword(test, "strict", True)]
    assert suggest.edited_text(atok, code_style=STYLE) == "if shelved(books, strict=True):\n    x = [1,2]\n"


@pytest.mark.parametrize("source, line_length, expected, statement", [
    # an `elif` header: formatted as the header it is, its body untouched
    (VIEW.format('    if x:\n        return 1\n'
                 '    elif len(books.filter(title="Dune", year=1965)):  # c\n        return 2'), 50,
     VIEW.format('    if x:\n        return 1\n'
                 '    elif books.filter(\n        title="Dune", year=1965\n    ).count():  # c\n'
                 '        return 2'),
     lambda tree: tree.body[1].body[0].orelse[0]),
    # a call inside a method chain written over lines: formatted with its statement
    (VIEW.format('    total = (\n        books.objects\n        .filter(year=1965)\n'
                 '        .annotate(n=len(books.filter(title="Dune", shelf__name="north")))\n    )'), 70,
     VIEW.format('    total = books.objects.filter(year=1965).annotate(\n'
                 '        n=books.filter(title="Dune", shelf__name="north").count()\n    )'),
     lambda tree: tree.body[1].body[0]),
    # a header the formatter cannot take alone: left as the edit made it, on both roads
    (VIEW.format('    try:\n        return 1\n'
                 '    except errors[len(books.filter(title="Dune", year=1965))]:  # c\n        return 2'), 50,
     VIEW.format('    try:\n        return 1\n'
                 '    except errors[books.filter(title="Dune", year=1965).count()]:  # c\n        return 2'),
     lambda tree: tree.body[1].body[0].handlers[0]),
])
def test_an_edit_that_makes_a_line_too_long_is_formatted_where_it_stands(
        source, line_length, expected, statement):
    style = {"line_length": line_length}
    atok = view(source)
    counts(atok)
    assert suggest.edited_text(atok, code_style=style) == expected
    # the suggestion road gives the same lines
    node = statement(atok.tree)
    lines = suggest.edited_text(atok, node=node, code_style=style).split("\n")
    expected_lines = expected.split("\n")[node.fromlineno - 1:]
    assert [expected_lines[0].lstrip()] + expected_lines[1:len(lines)] == lines

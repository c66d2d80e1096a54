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


def edit_import(names):
    def edit(atok):
        atok.tree.body[0].names = names
    return edit


def count_of_first_argument(atok):
    """`len(x)` becomes `x.count()` around the argument node itself, as the QuerySet
    fix builds it."""
    node = call(atok)
    receiver = node.args[0]
    new = astroid.Call(lineno=node.lineno, col_offset=node.col_offset, parent=node.parent)
    func = astroid.Attribute(attrname="count", parent=new)
    func.postinit(receiver)
    new.postinit(func=func, args=[], keywords=[])
    atok.tree.body[0].value = new


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
    # a replaced expression keeps the text of what it is built around, and gets the
    # brackets its place needs
    ("n = len(Book.objects.filter(title=\"x\"))\n", count_of_first_argument,
     "n = Book.objects.filter(title=\"x\").count()\n"),
    ("n = len(a or b)\n", count_of_first_argument, "n = (a or b).count()\n"),
    # a receiver written over lines keeps brackets to stay one expression
    ("n = len(\n    Book.objects\n    .filter(x=1)\n)\n", count_of_first_argument,
     "n = (Book.objects\n    .filter(x=1)).count()\n"),
    ("n = len(\n    books  # on the shelf\n    .all()\n)\n", count_of_first_argument,
     "n = (books  # on the shelf\n    .all()).count()\n"),
    ("n = len(Book.objects.filter(\n    title=\"x\",\n))\n", count_of_first_argument,
     "n = Book.objects.filter(\n    title=\"x\",\n).count()\n"),
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


def test_an_edit_inside_an_f_string_renders_the_string_whole():
    atok = view("x = f'{len(qs)} books'\n")
    formatted = atok.tree.body[0].value.values[0]
    formatted.value = astroid.extract_node("qs.count()")
    formatted.value.parent = formatted
    text = suggest.edited_text(atok)
    assert "qs.count()" in text and text.startswith("x = f")
    compile(text, "x.py", "exec")


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


def test_a_compound_statement_has_only_its_header_formatted():
    source = "if   books:\n    x = [1,2]\n"
    atok = view(source)
    statement = atok.tree.body[0]
    test = astroid.extract_node("books.exists()")
    test.parent = statement
    statement.test = test
    assert suggest.edited_text(atok, code_style=STYLE) == "if books.exists():\n    x = [1,2]\n"

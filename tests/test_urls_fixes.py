import functools

import pytest

import support
from korvane.staticanalysis.checkers import urls
from test_urls_checker import PERMISSIONS_REQUIRED

parse = functools.partial(support.token_tree, modname="views")


def fix_module(source, codes=("C6002",)):
    tree = parse(source)
    for statement in list(tree.body):
        urls.build_transformer_visitor(set(codes)).visit(statement)
    return tree.as_string().strip()


FUNCTION = "def get_url():\n    return reverse_lazy('home')\n"


@pytest.mark.parametrize(
    "imports, rest, expected_imports, expected_call",
    [
        ("from django.urls import reverse_lazy", "", "from django.urls import reverse", "reverse('home')"),
        (
            "from django.urls import path, reverse_lazy",
            "url = reverse_lazy('x')\n",
            "from django.urls import path, reverse, reverse_lazy",
            "reverse('home')",
        ),
        # names in an order of the user's own: the new one goes last
        (
            "from django.urls import reverse_lazy, path",
            "url = reverse_lazy('x')\n",
            "from django.urls import reverse_lazy, path, reverse",
            "reverse('home')",
        ),
        (
            "from django.urls import reverse, path, reverse_lazy",
            "",
            "from django.urls import reverse, path",
            "reverse('home')",
        ),
        # `reverse` under an alias is used under that alias
        (
            "from django.urls import reverse as rev, reverse_lazy",
            "",
            "from django.urls import reverse as rev",
            "rev('home')",
        ),
        # any other use of the name keeps its import
        (
            "from django.urls import reverse_lazy",
            "lazy = reverse_lazy\n",
            "from django.urls import reverse, reverse_lazy",
            "reverse('home')",
        ),
        (
            "from django.urls import reverse_lazy\nfrom django.urls import reverse_lazy as rl",
            "",
            "from django.urls import reverse\nfrom django.urls import reverse_lazy as rl",
            "reverse('home')",
        ),
        ("from django.urls import *", "", "from django.urls import *", "reverse('home')"),
        # nothing provides `reverse`: the call is left as it is
        ("from mylib import reverse_lazy", "", "from mylib import reverse_lazy", "reverse_lazy('home')"),
    ],
)
def test_fix_edits_call_and_import(imports, rest, expected_imports, expected_call):
    fixed = fix_module(f"{imports}\n{FUNCTION}{rest}")
    assert fixed.startswith(expected_imports + "\n\n")
    assert f"return {expected_call}" in fixed
    assert ("url = reverse_lazy('x')" in fixed) == ("url = reverse_lazy" in rest)


@pytest.mark.parametrize(
    "source",
    [
        "from django.urls import reverse_lazy\nclass V:\n    success_url = reverse_lazy('home')",
        "from django.urls import reverse_lazy\nclass F:\n    class Meta:\n        url = reverse_lazy('home')",
        "from django.urls import reverse_lazy\ndef f(u=str(reverse_lazy('home'))):\n    pass",
        "from django.contrib.auth.decorators import user_passes_test\n"
        "from django.urls import reverse_lazy\n" + PERMISSIONS_REQUIRED,
    ],
)
def test_import_time_uses_are_left_alone(source):
    assert fix_module(source) == parse(source).as_string().strip()


def test_import_edited_once_and_handed_to_suggestions():
    tree = parse("from django.urls import reverse_lazy\n" + FUNCTION + "def other():\n    return reverse_lazy('x')\n")
    tree.replace_other_nodes = []
    visitor = urls.build_transformer_visitor({"C6002", "C9000"})
    visitor.visit(tree.body[1])
    assert tree.replace_other_nodes == [tree.body[0]]
    assert getattr(tree, "skip_reverse") is True
    # a suggestion is applied alone: the other call still needs reverse_lazy
    assert tree.body[0].names == [("reverse", None), ("reverse_lazy", None)]
    tree.replace_other_nodes = []
    tree.body[0].names.append(("marker", None))
    visitor.visit(tree.body[2])
    assert tree.replace_other_nodes == []
    assert tree.body[0].names == [("reverse", None), ("reverse_lazy", None), ("marker", None)]
    assert tree.body[2].as_string().strip() == "def other():\n    return reverse('x')"


def test_ensure_import_without_django_import_only_marks():
    tree = parse("import os\n")
    tree.replace_other_nodes = []
    assert urls.ensure_import(module_node=tree, modname="reverse", import_string="from django.urls import reverse") is None
    assert tree.skip_reverse is True and tree.replace_other_nodes == []


def test_kept_import_is_still_handed_on():
    tree = parse("from django.urls import reverse, reverse_lazy\nx = reverse_lazy('a')\n")
    tree.replace_other_nodes = []
    urls.ensure_import(tree, "reverse", "from django.urls import reverse")
    assert tree.body[0].names == [("reverse", None), ("reverse_lazy", None)]
    assert tree.replace_other_nodes == [tree.body[0]]


def test_visitor_without_own_code_changes_nothing():
    source = "from django.urls import reverse_lazy\n" + FUNCTION
    assert fix_module(source, codes=("C6001", "C9000")) == parse(source).as_string().strip()

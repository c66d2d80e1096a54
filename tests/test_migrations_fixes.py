import functools

import pytest

import support
from korvane.staticanalysis.checkers import migrations

MIGRATION = """\
from django.db import migrations

def forwards(apps, schema_editor):
    pass

class Migration(migrations.Migration):
    operations = [
        {operation},
    ]
"""


parse = functools.partial(support.token_tree, modname="app.migrations.0002_data")


def operation_of(tree):
    return tree.body[-1].body[0].value.elts[0]


def fix(operation, codes=("C8001",), migration=True):
    source = MIGRATION.format(operation=operation)
    if not migration:
        source = source.replace("(migrations.Migration)", "")
    tree = parse(source)
    migrations.build_transformer_visitor(list(codes)).visit(tree.body[-1])
    return operation_of(tree).as_string()


NOOP = "migrations.RunPython.noop"


@pytest.mark.parametrize(
    "before, after",
    [
        ("migrations.RunPython(forwards)", f"migrations.RunPython(forwards, {NOOP})"),
        ("migrations.RunPython(code=forwards)", f"migrations.RunPython(code=forwards, reverse_code={NOOP})"),
        (
            "migrations.RunPython(forwards, atomic=False)",
            f"migrations.RunPython(forwards, atomic=False, reverse_code={NOOP})",
        ),
        ("migrations.RunPython(**options)", f"migrations.RunPython(**options, reverse_code={NOOP})"),
        # without any argument a positional would be the forwards code
        ("migrations.RunPython()", f"migrations.RunPython(reverse_code={NOOP})"),
        ("migrations.RunPython(*ops)", f"migrations.RunPython(*ops, {NOOP})"),
        ("migrations.RunPython(forwards, backwards)", "migrations.RunPython(forwards, backwards)"),
        (
            "migrations.RunPython(forwards, reverse_code=backwards)",
            "migrations.RunPython(forwards, reverse_code=backwards)",
        ),
    ],
)
def test_reverse_code_added(before, after):
    assert fix(before) == after


@pytest.mark.parametrize(
    "codes, changed",
    [
        (["C8001", "C9000", "C2000"], True),
        (["C8001", "C8001"], True),
        (["C8000"], False),
        ([], False),
    ],
)
def test_factory_rows(codes, changed):
    operation = "migrations.RunPython(forwards)"
    assert fix(operation, codes) == (f"migrations.RunPython(forwards, {NOOP})" if changed else operation)


def test_outside_migrations_unchanged():
    assert fix("migrations.RunPython(forwards)", migration=False) == "migrations.RunPython(forwards)"


def test_new_nodes_take_the_call_position():
    tree = parse(MIGRATION.format(operation="migrations.RunPython(\n            code=forwards,\n        )"))
    call = operation_of(tree)
    assert migrations.add_reverse_code(node=call) is call
    keyword = call.keywords[-1]
    assert (keyword.arg, keyword.value.name) == ("reverse_code", NOOP)
    for new in (keyword, keyword.value):
        assert (new.lineno, new.col_offset, new.first_token, new.parent) == (
            call.lineno,
            call.col_offset,
            call.first_token,
            call.parent,
        )

"""Interrupts and memory errors are never taken for ordinary failures: they go on
through every handler of the native modules, and the host ends with status 130 on a
Ctrl-C, even while the package is being imported."""
import textwrap

import astroid
import pytest

import support
from korvane.staticanalysis import helpers, suggest

HOST_INTERRUPTED_WHILE_LOADING = textwrap.dedent('''\
    import builtins, sys
    real = builtins.__import__
    def interrupting(name, *args, **kwargs):
        if name == "korvane.staticanalysis.meta":
            raise KeyboardInterrupt
        return real(name, *args, **kwargs)
    builtins.__import__ = interrupting
    from korvane import host
    sys.exit(host.main(sys.argv[1:]))
    ''')


@pytest.mark.parametrize("options", [[], ["--diff"]])
def test_ctrl_c_while_the_package_loads_ends_with_130(tmp_path, options):
    script = tmp_path / "interrupted.py"
    script.write_text(HOST_INTERRUPTED_WHILE_LOADING)
    result = support.run_fresh(str(script), *options, str(tmp_path))
    assert result.returncode == 130
    assert result.stderr.splitlines()[-1] == "korvane.host: interrupted"


def raising(error):
    def get(self):
        raise error
    return property(get)


def test_an_interrupt_in_a_placeholder_test_goes_on(monkeypatch):
    atok = helpers.build_atok("f(1)\n", modname="shop.interrupted")
    monkeypatch.setattr(astroid.nodes.Call, "non_code_placeholder", raising(KeyboardInterrupt()),
                        raising=False)
    with pytest.raises(KeyboardInterrupt):
        suggest.node_as_string(atok=atok, node=atok.tree.body[0])


def test_a_memory_error_in_an_ancestry_question_goes_on(monkeypatch):
    module = astroid.parse("class Book:\n    pass\nbook = Book()\n")
    [instance] = module.body[1].value.infer()
    monkeypatch.setattr(astroid.bases.Instance, "_proxied", raising(MemoryError()), raising=False)
    helpers.open_analysis_memo()
    try:
        with pytest.raises(MemoryError):
            helpers.is_model(instance)
    finally:
        helpers.close_analysis_memo()

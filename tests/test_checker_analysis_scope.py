"""What the analysis road sets up for the lint of one analysis is undone after it,
however the analysis ends, at one job and with workers."""
import gc
import inspect

import astroid
import astroid.decorators
import pytest

from korvane.staticanalysis import checker, helpers
from support import write_files

MODELS = """\
from django.db import models


class Book(models.Model):
    title = models.CharField(max_length=100, null=True)
"""


@pytest.fixture
def shop(tmp_path, enter_project):
    root = tmp_path / "scoped"
    write_files(root / "shop", {"__init__.py": None, "models.py": MODELS})
    return enter_project(root), {"shop/models.py": None}


def assert_nothing_left(callbacks_before):
    assert astroid.decorators.inspect is inspect
    assert gc.callbacks == callbacks_before
    assert gc.get_freeze_count() == 0
    # the helpers keep no ancestry: an edited class answers anew
    book = astroid.parse(MODELS, module_name="scope_after_analysis")["Book"]
    assert helpers.is_model(book) is True
    book.bases = []
    assert helpers.is_model(book) is False


@pytest.mark.parametrize("jobs", [1, 0])
def test_a_finished_analysis_leaves_nothing(shop, jobs):
    root, files = shop
    callbacks = list(gc.callbacks)
    records = checker.get_messages(str(root), files, jobs=jobs)
    assert [r["message-id"] for r in records] == ["C2000"]
    assert_nothing_left(callbacks)


def test_an_interrupted_analysis_leaves_nothing(shop, monkeypatch):
    root, files = shop

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    # the model field checker looks the predicate up at each call
    monkeypatch.setattr(helpers, "is_model_field", interrupted)
    callbacks = list(gc.callbacks)
    with pytest.raises(KeyboardInterrupt):
        checker.get_messages(str(root), files, jobs=1)
    assert_nothing_left(callbacks)


def test_objects_the_caller_froze_stay_frozen(shop):
    root, files = shop
    gc.freeze()
    try:
        frozen = gc.get_freeze_count()
        assert frozen > 0
        checker.get_messages(str(root), files, jobs=1)
        assert gc.get_freeze_count() > 0  # not thawed by the analysis
    finally:
        gc.unfreeze()

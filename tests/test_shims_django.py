import pathlib

import astroid
import pytest
from astroid import nodes
from astroid.exceptions import UseInferenceDefault
from astroid.transforms import TransformVisitor

import support
from korvane.staticanalysis import helpers, shims

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "shims"
MODELS = (FIXTURES / "models.py").read_text()
QUERYSET = "django.db.models.query.QuerySet"


def expression(code):
    """The node of `code`, written below the fixture models."""
    return astroid.extract_node(MODELS + "\n" + code)


def inferred(code):
    values = expression(code).inferred()
    assert len(values) == 1
    return values[0]


def is_instance_of(value, class_name):
    return isinstance(value, astroid.Instance) and value.name == class_name


def test_queryset_node_class():
    assert shims.QuerySetNode.__bases__ == (nodes.ClassDef, nodes.List)
    assert shims.QuerySetNode.__module__ == "korvane.staticanalysis.shims"
    assert shims.QuerySetNode.qname is shims.QuerySetNode.pytype
    element = astroid.extract_node("1")
    qs = shims.QuerySetNode.from_elements([element])
    assert qs.qname() == qs.pytype() == QUERYSET
    assert qs.mro()[0] is qs
    assert helpers.is_queryset(qs) is True
    for index in (0, 5, slice(1, 2), "key"):
        assert qs.getitem(index) is element
    assert qs.getitem(index=3, context=None) is element


@pytest.mark.parametrize("method", ["all()", "filter(title='x')", "exclude(pk=1)"])
@pytest.mark.parametrize("receiver", ["Book", "Book()"])
def test_manager_lookup_infers_queryset_of_model(receiver, method):
    value = inferred(f"{receiver}.objects.{method}")
    assert isinstance(value, shims.QuerySetNode)
    assert value.qname() == QUERYSET
    assert helpers.is_queryset(value) is True
    assert len(value.elts) == 1 and is_instance_of(value.elts[0], "Book")


@pytest.mark.parametrize("subscript", ["0", "5", "1:3"])
def test_subscript_of_queryset_is_model_instance(subscript):
    assert is_instance_of(inferred(f"Book.objects.filter(title='x')[{subscript}]"), "Book")


def test_loop_over_queryset_binds_model_instance():
    target = expression("for book in Book.objects.all():\n    book #@")
    assert is_instance_of(target.inferred()[0], "Book")


@pytest.mark.parametrize(
    "code, container",
    [
        ("list(Book.objects.all())", nodes.List),
        ("qs = Book.objects.filter(title='x')\nlist(qs)", nodes.List),
        ("sorted(Book.objects.all())", nodes.List),
        ("sorted(Book.objects.all(), key=lambda book: book.title, reverse=True)", nodes.List),
        ("tuple(Book.objects.all())", nodes.Tuple),
    ],
)
def test_list_of_queryset_is_plain_container_of_instances(code, container):
    value = inferred(code)
    assert type(value) is container
    assert helpers.is_queryset(value) is False
    [element] = value.elts
    if isinstance(element, nodes.EvaluatedObject):  # the library's own tuple(...)
        element = element.value
    assert is_instance_of(element, "Book")


@pytest.mark.parametrize(
    "code",
    [
        "for book in list(Book.objects.all()):\n    book #@",
        "for book in sorted(Book.objects.all(), key=lambda b: b.title):\n    book #@",
        "list(Book.objects.all())[0] #@",
    ],
)
def test_list_of_queryset_still_yields_model_instance(code):
    assert is_instance_of(inferred(code), "Book")


@pytest.mark.parametrize(
    "code, values",
    [
        ("list((1, 2))", [1, 2]),
        ("list('ab')", ["a", "b"]),
        ("xs = [3, 4]\nlist(xs)", [3, 4]),
    ],
)
def test_list_of_other_values_keeps_the_library_inference(code, values):
    value = inferred(code)
    assert type(value) is nodes.List
    assert [element.value for element in value.elts] == values


@pytest.mark.parametrize(
    "code, holds",
    [
        ("list(qs)", True),
        ("sorted(qs, key=str)", True),
        ("list()", None),
        ("list(qs, 1)", None),
        ("list(*groups)", None),
        ("list(qs, key=str)", None),
        ("tuple(qs)", None),
        ("builtins.list(qs)", None),
    ],
)
def test_looks_like_list_call_reads_the_shape_only(code, holds):
    # the argument is never inferred: `qs` is not even bound here
    assert shims.looks_like_list_call(astroid.extract_node(code)) is holds


@pytest.mark.parametrize(
    "code",
    [
        "Book.objects.filter(title='x').exclude(pk=1)",
        "Book.objects.all().filter(pk=1).all()",
        "qs = Book.objects.filter(pk=1)\nqs.filter(pk=2)",
    ],
)
def test_queryset_lookup_passes_receiver_value_on(code):
    node = expression(code)
    assert shims.looks_like_model_manager_lookup(node) is None
    assert shims.looks_like_queryset_lookup(node) is True
    assert node.inferred()[0] is node.func.expr.inferred()[0]


@pytest.mark.parametrize(
    "code, class_name",
    [
        ("Book.objects.get(pk=1)", "Book"),
        ("Book.objects.first()", "Book"),
        ("Book.objects.last()", "Book"),
        ("Book().objects.get()", "Book"),
        # the instance comes from the receiver's receiver, not from the QuerySet
        ("class Shelf:\n    items = Book.objects.all()\nShelf().items.get()", "Shelf"),
    ],
)
def test_single_object_lookup_infers_instance(code, class_name):
    assert is_instance_of(inferred(code), class_name)


@pytest.mark.parametrize("receiver", ["Book", "Book()"])
def test_objects_infers_django_manager(receiver):
    value = inferred(f"{receiver}.objects")
    assert is_instance_of(value, "Manager")
    assert value.qname() == "django.db.models.manager.Manager"


@pytest.mark.parametrize(
    "predicate, code",
    [
        ("looks_like_model_manager", "Book.authors"),
        ("looks_like_model_manager_lookup", "filter(pk=1)"),
        ("looks_like_model_manager_lookup", "Book.objects.count()"),
        ("looks_like_model_manager_lookup", "Book().filter()"),
        ("looks_like_queryset_lookup", "filter(pk=1)"),
        ("looks_like_queryset_lookup", "Book.objects.none()"),
        ("looks_like_model_get", "get()"),
        ("looks_like_model_get", "Book.objects.filter().get()"),
        ("looks_like_model_get", "Book.objects.count()"),
    ],
)
def test_predicates_answer_none_on_other_shapes(predicate, code):
    assert getattr(shims, predicate)(expression(code)) is None


@pytest.mark.parametrize(
    "predicate, code, expected",
    [
        ("looks_like_model_manager", "Book.objects", True),
        ("looks_like_model_manager", "Book().objects", True),
        ("looks_like_model_manager", "int.objects", False),
        ("looks_like_model_manager_lookup", "Book.objects.filter()", True),
        ("looks_like_model_manager_lookup", "Book.title.filter()", False),
        ("looks_like_queryset_lookup", "Book.objects.all()", False),
        ("looks_like_queryset_lookup", "Book.objects.all().exclude()", True),
        ("looks_like_model_get", "Book.objects.get()", True),
        ("looks_like_model_get", "class C:\n    q = Book.objects.all()\nC.q.first()", True),
        ("looks_like_model_get", "Book.title.get()", False),
    ],
)
def test_predicates_answer_helpers_verdict(predicate, code, expected):
    assert getattr(shims, predicate)(expression(code)) is expected


@pytest.mark.parametrize(
    "code",
    [
        "Book.objects.count()",
        "Book.objects.none()",
        "Book.objects.filter().get()",
    ],
)
def test_other_calls_get_no_tip(code):
    assert expression(code)._explicit_inference is None


@pytest.mark.parametrize(
    "tip",
    [
        shims.apply_model_manager_lookup_shim,
        shims.apply_queryset_lookup_shim,
        shims.apply_model_get_shim,
    ],
)
@pytest.mark.parametrize(
    "code",
    [
        "filter()",  # no receiver at all
        "missing().filter()",  # receiver is not an attribute
        "unknown.objects.filter()",  # receiver's receiver does not infer
        "import os\nos.path.join",  # not even a call
    ],
)
def test_tip_with_nothing_to_infer_defers_to_astroid(tip, code):
    with pytest.raises(UseInferenceDefault):
        tip(expression(code), None)


@pytest.mark.parametrize(
    "predicate, code",
    [
        ("looks_like_model", "Book"),
        ("looks_like_model_manager", "Book.objects"),
        ("looks_like_model_manager_lookup", "Book.objects.filter()"),
        ("looks_like_queryset_lookup", "Book.objects.all().exclude()"),
        ("looks_like_model_get", "Book.objects.get()"),
    ],
)
def test_predicates_answer_none_when_inference_fails(monkeypatch, predicate, code):
    node = expression(code)
    monkeypatch.setattr(shims, "safe_infer", support.raising(RecursionError()))
    assert getattr(shims, predicate)(node) is None
    monkeypatch.setattr(shims, "safe_infer", support.raising(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        getattr(shims, predicate)(node)


@pytest.mark.parametrize(
    "tip, code",
    [
        (shims.apply_model_manager_lookup_shim, "Book.objects.filter()"),
        (shims.apply_queryset_lookup_shim, "Book.objects.all().exclude()"),
        (shims.apply_model_get_shim, "Book.objects.get()"),
    ],
)
def test_tip_whose_inference_fails_defers_to_astroid(monkeypatch, tip, code):
    node = expression(code)
    monkeypatch.setattr(shims, "safe_infer", support.raising(RuntimeError("brain failed")))
    with pytest.raises(UseInferenceDefault):
        tip(node, None)
    # the library's inference error means "no value" and travels on
    monkeypatch.setattr(shims, "safe_infer", support.raising(astroid.InferenceError()))
    with pytest.raises(astroid.InferenceError):
        tip(node, None)


def test_generic_fk_transform_passes_over_calls_whose_inference_fails(monkeypatch):
    tree = astroid.builder.AstroidBuilder(apply_transforms=False).string_build(MODELS)
    node = tree["TwoPositional"]
    monkeypatch.setattr(shims, "safe_infer", support.raising(RuntimeError("brain failed")))
    assert shims.apply_is_used_in_generic_fk_shim(node) is node
    assert node.generic_foreign_key_field_names == []


@pytest.mark.parametrize(
    "manager_source",
    ["from django.db.models.manager import Manager", ""],
)
def test_manager_tip_without_class_defers_to_astroid(monkeypatch, manager_source):
    monkeypatch.setattr(
        astroid.MANAGER, "ast_from_module_name", lambda name: astroid.parse(manager_source)
    )
    with pytest.raises(UseInferenceDefault):
        shims.apply_model_manager_shim(astroid.extract_node("Book.objects"))


def test_tips_take_node_and_context_by_keyword():
    node = expression("Book.objects.filter()")
    (value,) = shims.apply_model_manager_lookup_shim(node=node, _context=None)
    assert isinstance(value, shims.QuerySetNode)
    (value,) = shims.apply_model_manager_shim(node.func.expr)
    assert is_instance_of(value, "Manager")


@pytest.mark.parametrize(
    "class_name, names",
    [
        ("TwoPositional", ["object_id"]),
        ("FkFieldKeyword", ["item_id"]),
        ("PositionalWithOtherKeyword", []),
        ("TooFewArguments", []),
        ("TwoFields", ["first_id", "second_id"]),
        ("InMethod", ["method_id"]),
        ("NotConstant", ["text_id"]),
        ("WithoutGeneric", []),
    ],
)
def test_generic_foreign_key_field_names(class_name, names):
    tree = astroid.parse(MODELS)
    assert tree[class_name].generic_foreign_key_field_names == names


def test_non_model_class_gets_no_field_names():
    tree = astroid.parse(MODELS)
    assert not hasattr(tree["NotAModel"], "generic_foreign_key_field_names")
    assert shims.looks_like_model(tree["NotAModel"]) is False


def test_generic_fk_transform_returns_node_and_sets_fresh_list():
    tree = astroid.builder.AstroidBuilder(apply_transforms=False).string_build(MODELS)
    node = tree["TwoPositional"]
    assert shims.apply_is_used_in_generic_fk_shim(node) is node
    assert node.generic_foreign_key_field_names == ["object_id"]
    plain = tree["NotAModel"]
    assert shims.apply_is_used_in_generic_fk_shim(node=plain) is plain
    assert plain.generic_foreign_key_field_names == []


class RecordingManager:
    def __init__(self):
        self.calls = []

    def register_transform(self, *args):
        self.calls.append(args)


def test_register_transforms_order_and_repetition():
    manager = RecordingManager()
    assert shims.register_transforms(manager) is None
    shims.register_transforms(manager)
    expected = [
        (nodes.ClassDef, shims.looks_like_model),
        (nodes.Call, shims.looks_like_model_manager_lookup),
        (nodes.Call, shims.looks_like_queryset_lookup),
        (nodes.Call, shims.looks_like_model_get),
        (nodes.Attribute, shims.looks_like_model_manager),
        (nodes.Call, shims.looks_like_list_call),
    ]
    assert [(cls, pred) for cls, _, pred in manager.calls] == expected * 2
    assert manager.calls[0][1] is shims.apply_is_used_in_generic_fk_shim
    assert manager.calls[5][1] is shims.apply_list_call_shim
    # the four tips are wrapped: applied to a node they install its inference, keeping it
    for _, transform, _ in manager.calls[1:5]:
        node = astroid.extract_node("thing.attribute")
        assert transform(node) is node
        assert node._explicit_inference is not None


def test_fresh_registry_gives_tree_the_django_inference():
    registry = TransformVisitor()
    manager = RecordingManager()
    manager.register_transform = registry.register_transform
    shims.register_transforms(manager)
    assert sum(len(pairs) for pairs in registry.transforms.values()) == 6

    builder = astroid.builder.AstroidBuilder(apply_transforms=False)
    tree = builder.string_build(MODELS + "\nBook.objects.filter()\nBook.objects\n")
    assert not hasattr(tree["Book"], "generic_foreign_key_field_names")
    assert tree.body[-2].value._explicit_inference is None
    assert tree.body[-1].value._explicit_inference is None

    registry.visit(tree)
    assert tree["Book"].generic_foreign_key_field_names == []
    assert isinstance(tree.body[-2].value.inferred()[0], shims.QuerySetNode)


def test_an_attribute_assigned_in_another_module_is_no_member_of_what_it_defines():
    orders = astroid.parse(
        "class Order:\n    customer = 'the class attribute'\n\n"
        "    def __init__(self):\n        self.reference = 'R1'\n",
        module_name="member_assignments_orders")
    services = astroid.parse(
        "import member_assignments_orders\nfrom member_assignments_orders import Order\n\n"
        "member_assignments_orders.PAGE_SIZE = 50\n\n\n"
        "class Receipt:\n    def close(self):\n        self.closed = True\n\n\n"
        "def detach():\n    order = Order()\n    order.customer = None\n    Order.detached = True\n",
        module_name="member_assignments_services")
    # a module's own assignments make members of what it defines, as astroid has it
    assert set(orders["Order"].instance_attrs) == {"reference"}
    assert set(services["Receipt"].instance_attrs) == {"closed"}
    # those of another module leave its class and its names as they are
    assert "detached" not in orders["Order"].locals and "PAGE_SIZE" not in orders.locals
    read = astroid.extract_node("from member_assignments_orders import Order\nOrder().customer\n")
    assert [value.value for value in read.inferred()] == ["the class attribute"]

"""The settings checker: its predicates, fixes, statement removal, fix registry and the
findings it reports on the analysis road."""
import ast
import itertools
import shutil
from pathlib import Path

import astroid
import pytest
from astroid.transforms import TransformVisitor

from korvane.staticanalysis import checker, helpers
from korvane.staticanalysis.checkers import settings

from support import write_files

FIXTURE = Path(__file__).parent / "fixtures" / "settings" / "shopsite"
SETTINGS_TEXT = (FIXTURE / "shopsite" / "settings.py").read_text()
MODPATH = "shopsite.settings"

# A settings module that Django's deployment checks find nothing wrong with.
HARDENED = '''\
"""Settings of the live shop."""
import os

DEBUG = False
INSTALLED_APPS = ["django.contrib.sessions", "shop"]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]
SECURE_HSTS_SECONDS = 31536000
SECURE_HSTS_INCLUDE_SUBDOMAINS = True
SECURE_HSTS_PRELOAD = True
SECURE_SSL_REDIRECT = True
SESSION_COOKIE_SECURE = True
CSRF_COOKIE_SECURE = True
'''

SECURITY = '    "django.middleware.security.SecurityMiddleware",\n'
CSRF = '    "django.middleware.csrf.CsrfViewMiddleware",\n'
XFRAME = '    "django.middleware.clickjacking.XFrameOptionsMiddleware",\n'

# Fresh names for packages written to disk: astroid keeps modules by name.
_packages = itertools.count()


def hardened(*drop, add=""):
    """HARDENED without the lines that start with any of `drop`, plus `add`."""
    lines = HARDENED.splitlines(keepends=True)
    return "".join(l for l in lines if not l.lstrip().startswith(drop)) + add


def without(text, *lines):
    for line in lines:
        assert line in text
        text = text.replace(line, "")
    return text


def tree_of(source, name=MODPATH):
    return astroid.parse(source, module_name=name)


def findings(module_node, settings_modpath=MODPATH):
    return {code for code, predicate, _ in settings.RULES
            if predicate(module_node=module_node, settings_modpath=settings_modpath)}


def names(module_node):
    return [t.name for s in module_node.body if isinstance(s, astroid.Assign)
            for t in s.targets]


def middleware(module_node):
    return [e.value for e in module_node["MIDDLEWARE"].parent.value.elts]


# --- predicates ----------------------------------------------------------------------

FIXTURE_FINDINGS = {"C4007", "C4008", "C4009", "C4014", "C4015"}


@pytest.mark.parametrize(
    "source, name, settings_modpath, expected",
    [
        (SETTINGS_TEXT, MODPATH, MODPATH, FIXTURE_FINDINGS),
        # No settings module named: a module called ...settings that writes MIDDLEWARE.
        (SETTINGS_TEXT, MODPATH, None, FIXTURE_FINDINGS),
        (SETTINGS_TEXT, "shopsite.config", None, set()),
        (SETTINGS_TEXT, MODPATH, "shopsite.production_settings", set()),
        (HARDENED, MODPATH, MODPATH, set()),
        (hardened("SECURE_HSTS"), MODPATH, MODPATH, {"C4010"}),
        (hardened("SECURE_HSTS_SECONDS", add="SECURE_HSTS_SECONDS = 0\n"), MODPATH, MODPATH,
         {"C4010"}),
        (hardened("SECURE_HSTS_INCLUDE", "SECURE_HSTS_PRELOAD"), MODPATH, MODPATH,
         {"C4011", "C4017"}),
        (hardened(add="SECURE_CONTENT_TYPE_NOSNIFF = False\n"), MODPATH, MODPATH, {"C4012"}),
        (hardened("SECURE_SSL_REDIRECT"), MODPATH, MODPATH, {"C4013"}),
        (hardened(add="SESSION_COOKIE_SECURE = False\n"), MODPATH, MODPATH, {"C4014"}),
        (hardened(add="SESSION_COOKIE_HTTPONLY = False\n"), MODPATH, MODPATH, {"C4015"}),
        (hardened("CSRF_COOKIE_SECURE"), MODPATH, MODPATH, {"C4016"}),
        (hardened("CSRF_COOKIE_SECURE", add="CSRF_USE_SESSIONS = True\n"), MODPATH, MODPATH,
         set()),
        (hardened(add="SECURE_REFERRER_POLICY = None\n"), MODPATH, MODPATH, {"C4005"}),
        (hardened(add='SECURE_REFERRER_POLICY = "no-referrer"\n'), MODPATH, MODPATH, set()),
        # Without the security middleware no header setting counts.
        (without(hardened("SECURE", add="SECURE_REFERRER_POLICY = None\n"), SECURITY),
         MODPATH, MODPATH, {"C4007"}),
        # Development settings: HTTPS-only settings would lock runserver out.
        (hardened("SECURE_HSTS", "SECURE_SSL", "SESSION_COOKIE", "CSRF_COOKIE", "DEBUG",
                  add="DEBUG = True\n"), MODPATH, MODPATH, set()),
        # Values read at run time, bindings under a condition: not known, not reported.
        (hardened("SECURE_SSL_REDIRECT",
                  add='SECURE_SSL_REDIRECT = os.environ.get("HTTPS") == "on"\n'),
         MODPATH, MODPATH, set()),
        (hardened("SECURE_SSL_REDIRECT",
                  add='if os.environ.get("HTTPS"):\n    SECURE_SSL_REDIRECT = True\n'),
         MODPATH, MODPATH, set()),
        (hardened("SECURE_SSL_REDIRECT", "DEBUG", add='DEBUG = os.environ.get("DEBUG")\n'),
         MODPATH, MODPATH, {"C4013"}),
        (hardened("SESSION_COOKIE_SECURE", add="try:\n    from .local_settings import *\n"
                  "except ImportError:\n    pass\n"), MODPATH, MODPATH, set()),
        (hardened("SESSION_COOKIE_SECURE", add="globals().update(os.environ)\n"),
         MODPATH, MODPATH, set()),
        (hardened("SESSION_COOKIE_SECURE", add='include("components/*.py")\n'),
         MODPATH, MODPATH, set()),
        (hardened("SESSION_COOKIE_SECURE", add='SESSION_COOKIE_SECURE, X = True, 1\n'),
         MODPATH, MODPATH, set()),
        # A later assignment wins over an earlier one.
        (hardened(add="SECURE_SSL_REDIRECT = False\n"), MODPATH, MODPATH, {"C4013"}),
        (hardened(add="SECURE_SSL_REDIRECT = False\nSECURE_SSL_REDIRECT = True\n"),
         MODPATH, MODPATH, set()),
        # MIDDLEWARE that is not fully known, or the old MIDDLEWARE_CLASSES.
        (SETTINGS_TEXT.replace("MIDDLEWARE = [", "MIDDLEWARE = EXTRA_MIDDLEWARE + ["),
         MODPATH, MODPATH, {"C4014", "C4015"}),
        (SETTINGS_TEXT.replace("MIDDLEWARE = [", "MIDDLEWARE_CLASSES = ["), MODPATH, MODPATH,
         {"C4014", "C4015"}),
        (SETTINGS_TEXT + "MIDDLEWARE += []\n", MODPATH, MODPATH, {"C4014", "C4015"}),
        # Sessions in use through their middleware alone.
        (SETTINGS_TEXT.replace('    "django.contrib.sessions",\n', ""), MODPATH, MODPATH,
         FIXTURE_FINDINGS),
        (without(SETTINGS_TEXT, '    "django.contrib.sessions",\n',
                 '    "django.contrib.sessions.middleware.SessionMiddleware",\n'),
         MODPATH, MODPATH, {"C4007", "C4008", "C4009"}),
        ("", MODPATH, MODPATH, set()),
    ],
)
def test_predicates(source, name, settings_modpath, expected):
    assert findings(tree_of(source, name), settings_modpath) == expected


ODD_TREES = [
    None,
    astroid.extract_node("x = 1"),
    tree_of("MIDDLEWARE = 5\nSECURE_HSTS_SECONDS = [1]\nDEBUG = object()\n"),
    tree_of("MIDDLEWARE = [\n    f'{x}',\n    *X,\n]\nINSTALLED_APPS = None\n"),
    tree_of("MIDDLEWARE = []\nfrom .missing import *\n"),
    tree_of("SESSION_COOKIE_HTTPONLY = False\nMIDDLEWARE = ['a']\n", name=""),
]


@pytest.mark.parametrize("code, predicate, fix", settings.RULES)
@pytest.mark.parametrize("tree", ODD_TREES)
def test_predicates_answer_false_on_odd_trees(tree, code, predicate, fix):
    for modpath in (MODPATH, None):
        assert predicate(module_node=tree, settings_modpath=modpath) is False


@pytest.fixture
def split_settings(tmp_path, enter_project):
    """A settings package split into a base module and a production module that
    star-imports it; returns a function giving the tree of either module by name."""
    package = "splitsite{}".format(next(_packages))
    base = without(hardened("SECURE", "SESSION_COOKIE", "CSRF_COOKIE", "DEBUG",
                            add="DEBUG = True\n"), XFRAME)
    write_files(tmp_path, {
        package + "/__init__.py": None,
        package + "/settings/__init__.py": None,
        package + "/settings/base.py": base,
        package + "/settings/production.py": (
            "from .base import *  # noqa\n\nDEBUG = False\nSECURE_HSTS_SECONDS = 3600\n"
            "SECURE_SSL_REDIRECT = True\nSESSION_COOKIE_SECURE = True\n"
            "CSRF_COOKIE_SECURE = True\n"),
        package + "/settings/staging.py": "from .nowhere import *\nDEBUG = False\n",
        package + "/settings/named.py": "from .base import MIDDLEWARE, INSTALLED_APPS\n"
                                        "DEBUG = False\n",
    })
    enter_project(tmp_path)

    def module(name):
        modpath = "{}.settings.{}".format(package, name)
        return astroid.MANAGER.ast_from_module_name(modpath), modpath

    return module


@pytest.mark.parametrize(
    "name, expected",
    [
        # The development base: its own list misses the clickjacking middleware.
        ("base", {"C4008"}),
        # Values come through the star import; the list is the base module's finding.
        ("production", {"C4011", "C4017"}),
        ("staging", set()),
        ("named", {"C4010", "C4013", "C4014", "C4016"}),
    ],
)
def test_predicates_follow_imports(split_settings, name, expected):
    tree, modpath = split_settings(name)
    assert findings(tree, modpath) == expected


# --- fixes ---------------------------------------------------------------------------

FIXES = {code: fix for code, _, fix in settings.RULES}
PREDICATES = {code: predicate for code, predicate, _ in settings.RULES}

FIX_CASES = [
    # code, source with the finding, the fixed statement, created (True) or edited
    ("C4010", hardened("SECURE_HSTS"), "SECURE_HSTS_SECONDS = 31536000", True),
    ("C4010", hardened("SECURE_HSTS_SECONDS", add="SECURE_HSTS_SECONDS = 0\n"),
     "SECURE_HSTS_SECONDS = 31536000", False),
    ("C4011", hardened("SECURE_HSTS_INCLUDE"), "SECURE_HSTS_INCLUDE_SUBDOMAINS = True", True),
    ("C4012", hardened(add="SECURE_CONTENT_TYPE_NOSNIFF = False\n"),
     "SECURE_CONTENT_TYPE_NOSNIFF = True", False),
    ("C4013", hardened("SECURE_SSL_REDIRECT"), "SECURE_SSL_REDIRECT = True", True),
    ("C4014", SETTINGS_TEXT, "SESSION_COOKIE_SECURE = True", True),
    ("C4016", hardened("CSRF_COOKIE_SECURE"), "CSRF_COOKIE_SECURE = True", True),
    ("C4017", hardened("SECURE_HSTS_PRELOAD"), "SECURE_HSTS_PRELOAD = True", True),
]


def with_side_channels(tree):
    tree.new_nodes, tree.replace_other_nodes = [], []
    return tree


def assert_fixed(tree, code, kept):
    assert not PREDICATES[code](module_node=tree, settings_modpath=MODPATH)
    ast.parse(tree.as_string())
    assert set(kept) <= set(names(tree))


@pytest.mark.parametrize("code, source, statement, created", FIX_CASES)
def test_setting_fixes(code, source, statement, created):
    tree = with_side_channels(tree_of(source))
    kept = names(tree)
    assert PREDICATES[code](module_node=tree, settings_modpath=MODPATH)
    assert FIXES[code](tree) is tree
    assert_fixed(tree, code, kept)
    changed = [s for s in tree.body if s.as_string() == statement]
    assert len(changed) == 1
    if created:
        assert tree.body[-1] is changed[0] and tree.new_nodes == changed
        assert tree.replace_other_nodes == []
    else:
        assert tree.replace_other_nodes == changed and tree.new_nodes == []
    # The created statement renders to a module of its own for the formatter.
    assert all(ast.parse(node.as_string()) for node in tree.new_nodes)


@pytest.mark.parametrize(
    "code, source, expected",
    [
        ("C4007", SETTINGS_TEXT, ["django.middleware.security.SecurityMiddleware",
                                  "django.contrib.sessions.middleware.SessionMiddleware"]),
        ("C4009", SETTINGS_TEXT, ["django.contrib.sessions.middleware.SessionMiddleware",
                                  "django.middleware.common.CommonMiddleware",
                                  "django.middleware.csrf.CsrfViewMiddleware"]),
        ("C4008", SETTINGS_TEXT, ["django.contrib.messages.middleware.MessageMiddleware",
                                  "django.middleware.clickjacking.XFrameOptionsMiddleware"]),
        ("C4009", without(HARDENED, CSRF).replace("MIDDLEWARE = [", "MIDDLEWARE = (").replace(
            '"django.middleware.clickjacking.XFrameOptionsMiddleware",\n]',
            '"django.middleware.clickjacking.XFrameOptionsMiddleware",\n)'),
         ["django.middleware.common.CommonMiddleware",
          "django.middleware.csrf.CsrfViewMiddleware",
          "django.middleware.clickjacking.XFrameOptionsMiddleware"]),
    ],
)
def test_middleware_fixes_insert_at_their_place(code, source, expected):
    tree = with_side_channels(tree_of(source))
    before = middleware(tree)
    kept = names(tree)
    assert FIXES[code](tree) is tree
    assert_fixed(tree, code, kept)
    after = middleware(tree)
    # One entry more, in its place among its neighbours.
    assert len(after) == len(before) + 1 and set(before) < set(after)
    window = [after.index(entry) for entry in expected]
    assert window == list(range(window[0], window[0] + len(expected)))
    assert tree.replace_other_nodes == [tree["MIDDLEWARE"].parent]
    assert tree.new_nodes == []


@pytest.mark.parametrize("code, setting, value", [
    ("C4015", "SESSION_COOKIE_HTTPONLY", "False"),
    ("C4015", "SESSION_COOKIE_HTTPONLY", "0"),
    ("C4005", "SECURE_REFERRER_POLICY", "None"),
])
def test_removal_fixes(code, setting, value):
    tree = tree_of(hardened(add="{} = {}\nSTATIC_URL = '/static/'\n".format(setting, value)))
    kept = [name for name in names(tree) if name != setting]
    assert FIXES[code](tree) is tree
    assert setting not in names(tree)
    assert_fixed(tree, code, kept)


def test_fixes_work_without_side_channels_and_twice():
    tree = tree_of(SETTINGS_TEXT)
    for code in ("C4007", "C4014", "C4015"):
        FIXES[code](tree)
        FIXES[code](tree)
    assert middleware(tree).count("django.middleware.security.SecurityMiddleware") == 1
    assert tree.as_string().count("SESSION_COOKIE_SECURE") == 1
    assert findings(tree) == {"C4008", "C4009", "C4010", "C4013"}


def test_first_statement_edit_is_not_handed_over_again():
    # The checker reports on the first statement, which the suggestion renders itself.
    source = "SECURE_SSL_REDIRECT = False\n" + hardened("SECURE_SSL_REDIRECT")
    tree = with_side_channels(tree_of(source))
    settings.add_secure_ssl_redirect(tree)
    assert tree.body[0].as_string() == "SECURE_SSL_REDIRECT = True"
    assert tree.replace_other_nodes == [] and tree.new_nodes == []


def test_one_pass_of_all_fixes_leaves_nothing_to_report():
    # As the whole-text fixer runs them: one visitor, every row, the module last.
    tree = tree_of(SETTINGS_TEXT)
    kept = names(tree)
    visitor = TransformVisitor()
    for code, predicate, fix in settings.RULES:
        visitor.register_transform(astroid.Module, fix, settings.bound_predicate(
            predicate, MODPATH))
    visitor.visit(tree)
    assert findings(tree) == set()
    ast.parse(tree.as_string())
    assert set(kept) - {"SESSION_COOKIE_HTTPONLY"} <= set(names(tree))


# --- statement removal ---------------------------------------------------------------

REMOVAL_SOURCE = '''\
DEBUG = False
SESSION_COOKIE_HTTPONLY = False  # read by the basket widget
SECURE_REFERRER_POLICY = (
    None
)
SESSION_COOKIE_HTTPONLY = True
SECURE_REFERRER_POLICY = "same-origin"
CSRF_COOKIE_HTTPONLY = False
'''


@pytest.mark.parametrize(
    "index, expected",
    [
        (0, (None, None, None)),
        (1, (2, 2, "")),
        (2, (3, 5, "")),
        (3, (None, None, None)),
        (4, (None, None, None)),
        (5, (None, None, None)),
    ],
)
def test_remove_node(index, expected):
    atok = helpers.build_atok(REMOVAL_SOURCE, modname=MODPATH)
    node = atok.tree.body[index]
    start, end = node.first_token.start[0], node.last_token.start[0]
    result = settings.remove_node(atok=atok, node=node, start=start, end=end)
    assert tuple(result) == expected
    assert atok.tree.as_string() == helpers.build_atok(REMOVAL_SOURCE, modname=MODPATH) \
        .tree.as_string()


def test_remove_node_on_odd_nodes():
    atok = helpers.build_atok("if True:\n    SESSION_COOKIE_HTTPONLY = False\n",
                              modname=MODPATH)
    inner = atok.tree.body[0].body[0]
    assert settings.remove_node(atok=atok, node=inner, start=2, end=2) == (None, None, None)
    assert settings.remove_node(atok=atok, node=None, start=1, end=1) == (None, None, None)


# --- the fix registry ----------------------------------------------------------------

@pytest.mark.parametrize(
    "message_ids, settings_modpath, remaining",
    [
        ({"C4007", "C4014"}, MODPATH, FIXTURE_FINDINGS - {"C4007", "C4014"} | {"C4010", "C4013"}),
        # The security middleware first, then the settings that only count with it.
        ({"C4007", "C4010", "C4013", "C2000"}, MODPATH,
         FIXTURE_FINDINGS - {"C4007"} | {"C4011", "C4017"}),
        ({"C4015", "C4009", "C4016"}, MODPATH, {"C4007", "C4008", "C4014"}),
        ({"C2000", "C9000"}, MODPATH, FIXTURE_FINDINGS),
        (set(FIXES), MODPATH, set()),
        # Another module is the settings module: nothing changes.
        ({"C4007", "C4014"}, "shopsite.production_settings", FIXTURE_FINDINGS),
        ({"C4007", "C4014"}, None, FIXTURE_FINDINGS - {"C4007", "C4014"} | {"C4010", "C4013"}),
    ],
)
def test_build_transformer_visitor(message_ids, settings_modpath, remaining):
    tree = tree_of(SETTINGS_TEXT)
    visitor = settings.build_transformer_visitor(message_ids=message_ids,
                                                 settings_modpath=settings_modpath)
    assert isinstance(visitor, helpers.NodeTransformVisitor)
    visitor.visit(tree)
    assert findings(tree) == remaining
    ast.parse(tree.as_string())


def test_build_transformer_visitor_leaves_other_modules_alone():
    source = "import os\n\nMIDDLEWARE = []\n"
    tree = tree_of(source, name="shop.views")
    settings.build_transformer_visitor(message_ids={"C4007", "C4010"},
                                       settings_modpath=None).visit(tree)
    assert tree.as_string() == tree_of(source, name="shop.views").as_string()


# --- the plug-in on the analysis road ------------------------------------------------

@pytest.fixture
def shopsite(tmp_path, enter_project):
    root = tmp_path / "shopsite"
    shutil.copytree(FIXTURE, root)
    return enter_project(root)


def settings_records(records):
    return sorted((r["path"], r["line"], r["message-id"], r["symbol"]) for r in records
                  if r["message-id"].startswith("C40"))


def test_checker_reports_on_the_analysis_road(shopsite):
    records = checker.get_messages(str(shopsite), {"shopsite/settings.py": None,
                                                   "shop/views.py": None}, jobs=1)
    symbols = checker.message_id_symbol_store
    first_statement = 2  # the import after the docstring
    expected = [("shopsite/settings.py", first_statement, code, symbols[code])
                for code in ("C4007", "C4008", "C4009", "C4014")]
    http_only = SETTINGS_TEXT.splitlines().index("SESSION_COOKIE_HTTPONLY = False") + 1
    expected.append(("shopsite/settings.py", http_only, "C4015", symbols["C4015"]))
    assert settings_records(records) == sorted(expected)


def test_checker_reports_nothing_once_fixed(shopsite):
    path = shopsite / "shopsite" / "settings.py"
    tree = tree_of(path.read_text())
    settings.build_transformer_visitor(message_ids=set(FIXES),
                                       settings_modpath=MODPATH).visit(tree)
    path.write_text(tree.as_string())
    records = checker.get_messages(str(shopsite), {"shopsite/settings.py": None}, jobs=1)
    assert settings_records(records) == []


def test_checker_without_manage_file_reports_nothing(shopsite):
    (shopsite / "manage.py").unlink()
    records = checker.get_messages(str(shopsite), {"shopsite/settings.py": None}, jobs=1)
    assert settings_records(records) == []


@pytest.mark.parametrize(
    "filepath, settings_modpath, expected",
    [
        ("shopsite/settings.py", MODPATH, FIXTURE_FINDINGS),
        ("shopsite/settings.py", None, FIXTURE_FINDINGS),
        ("shopsite/settings.py", "shopsite.other_settings", set()),
        ("shopsite/config.py", None, set()),
    ],
)
def test_checker_on_one_text(filepath, settings_modpath, expected):
    advice = checker.check_code(SETTINGS_TEXT, filepath, settings_modpath)
    assert {a["message-id"] for a in advice} & set(FIXES) == expected

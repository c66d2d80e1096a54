import astroid
import pytest

import support
from korvane.staticanalysis.checkers import urls


def lint(tmp_path, *sources):
    paths = [support.unique_module(tmp_path, source, "urlconf_{}.py") for source in sources]
    return [(m.msg_id, m.line, m.msg) for m in support.lint_files(urls.Checker, paths)
            if m.msg_id.startswith("C6")]


URLCONF = """\
from django.urls import path
def view(request):
    pass
urlpatterns = [
{}
]
"""


def patterns(*lines):
    return URLCONF.format("\n".join(lines))


@pytest.mark.parametrize(
    "lines, reported",
    [
        (['path("a/<int:pk>/", view, name="x"),', 'path("b/<int:id>/", view, name="x"),'], [6]),
        (['path("a/<int:pk>/", view, name="x"),', 'path("b/<str:id>/", view, name="x"),'], []),
        (['path("a/", view, name="x"),', 'path("b/<int:id>/", view, name="x"),'], []),
        (['path("a/<slug:s>/", view, name="x"),', 'path("b/<str:s>/", view, name="x"),'], []),
        (['path("a/", view, name="x"),', 'path("b/", view, name="x"),', 'path("c/", view, name="x"),'], [6, 7]),
        (['path("a/", view, name=None),', 'path("b/", view, name=None),', 'path("c/", view),'], []),
        # the last of `route`/`regex` is the route; a positional argument wins over both
        (['path(view=view, route="a/", regex="<int:i>", name="x"),', 'path("b/<int:j>", view, name="x"),'], [6]),
        (['path("<int:i>", view, route="a/", name="x"),', 'path("b/<int:j>", view, name="x"),'], [6]),
        # Django refuses unknown converters: no key, no finding
        (['path("a/<nope:pk>/", view, name="x"),', 'path("b/<nope:id>/", view, name="x"),'], []),
        (['path(f"a/{view}", view, name="x"),', 'path(f"b/{view}", view, name="x"),'], []),
    ],
)
def test_duplicate_url_names(tmp_path, lines, reported):
    found = lint(tmp_path, patterns(*lines))
    assert [line for _, line, _ in found] == reported
    assert all(code == "C6001" and msg == {"name": "x"} for code, _, msg in found)


def test_duplicates_are_per_module(tmp_path):
    source = patterns('path("a/", view, name="x"),')
    assert lint(tmp_path, source, source) == []


@pytest.mark.parametrize(
    "source, expected",
    [
        ("from django.urls import path\nurlpatterns = []", True),
        ("from django.urls import path as p\nurlpatterns = []", True),
        ("from django.conf.urls import url\nurlpatterns = []", True),
        ("from django.urls import path", False),
        ("from django.urls import re_path, include\nurlpatterns = []", False),
        ("from django.urls import include\nfrom django.urls import path\nurlpatterns = []", False),
        ("from django.urls import include\nfrom django.conf.urls import url\nurlpatterns = []", False),
        ("from django.conf.urls import url\nfrom django.urls import include\nurlpatterns = []", True),
        ("import django.urls\nurlpatterns = []", False),
        ("def f():\n    from django.urls import path\nurlpatterns = []", True),
    ],
)
def test_is_urls_module(source, expected):
    assert urls.is_urls_module(astroid.parse(source)) is expected


PERMISSIONS_REQUIRED = """\
def permissions_required(permissions, login_url=None):
    if login_url is None:
        login_url = reverse_lazy("customer:login")

    def check(user):
        return user.is_authenticated and user.has_perms(permissions)

    return user_passes_test(check, login_url=login_url)
"""

MISUSE_CASES = [
    ("def f():\n    return reverse_lazy('home')", True),
    ("class V:\n    def get(self):\n        return reverse_lazy('home')", True),
    ("f = lambda: reverse_lazy('home')", True),
    ("def f():\n    return [reverse_lazy(n) for n in 'ab']", True),
    ("def f():\n    class Form:\n        url = reverse_lazy('home')", True),
    ("def f(u=None):\n    def g(u=reverse_lazy('home')):\n        pass", True),
    ("url = reverse_lazy('home')", False),
    ("class V:\n    success_url = reverse_lazy('home')", False),
    ("class Form:\n    class Meta:\n        url = reverse_lazy('home')", False),
    ("if True:\n    url = reverse_lazy('home')", False),
    ("try:\n    url = reverse_lazy('home')\nexcept Exception:\n    pass", False),
    ("with open('x'):\n    url = reverse_lazy('home')", False),
    ("if True:\n    class V:\n        url = reverse_lazy('home')", False),
    ("if True:\n    def f(u=reverse_lazy('home')):\n        pass", False),
    ("urls = [reverse_lazy(n) for n in 'ab']", False),
    ("def f(u=reverse_lazy('home')):\n    pass", False),
    ("def f(u=str(reverse_lazy('home'))):\n    pass", False),
    ("class V:\n    def get(self, u=reverse_lazy('home')):\n        pass", False),
    ("@decorate(reverse_lazy('home'))\ndef f():\n    pass", False),
    # a view's configuration and URL patterns built by a function keep the lazy text
    ("class Admin:\n    def get_urls(self):\n        return [path('done/', DoneView.as_view("
     "success_url=reverse_lazy('admin:index')))]", False),
    ("class Admin:\n    def get_urls(self):\n        return [re_path(r'^a/$', view, "
     "{'next': reverse_lazy('home')})]", False),
    # a decorator factory runs at import time, where what it wraps is defined; the
    # wrapper itself runs at request time
    ("def login_to(name):\n    url = reverse_lazy(name)\n    def decorator(view):\n"
     "        return view\n    return decorator", False),
    ("def login_to(name):\n    def decorator(view):\n        url = reverse_lazy(name)\n"
     "        def wrapper(request):\n            return view(request)\n        return wrapper\n"
     "    return decorator", False),
    ("def login_to(name):\n    def decorator(view):\n        def wrapper(request):\n"
     "            return redirect(reverse_lazy(name))\n        return wrapper\n"
     "    return decorator", True),
    # handed to what builds a view decorator, directly or through a name, or in a
    # function that returns what such a callee builds: resolved while the URL
    # configuration is being imported
    (PERMISSIONS_REQUIRED, False),
    ("def staff_only(view):\n    return user_passes_test(lambda u: u.is_staff, "
     "login_url=reverse_lazy('login'))(view)", False),
    ("def admin_only():\n    return permission_required('shop.change_order', "
     "login_url=reverse_lazy('login'))", False),
    ("def members_only():\n    url = reverse_lazy('login')\n    decorator = login_required(login_url=url)\n"
     "    return decorator", False),
    ("class Admin:\n    def get_urls(self):\n        done = reverse_lazy('done')\n"
     "        return [path('x/', DoneView.as_view(success_url=done))]", False),
    # resolved at request time
    ("def checkout(request):\n    return HttpResponseRedirect(reverse_lazy('cart'))", True),
    ("def checkout(request):\n    url = reverse_lazy('cart')\n    return redirect(url)", True),
    ("class Book(models.Model):\n    def get_absolute_url(self):\n"
     "        return reverse_lazy('book', args=[self.pk])", True),
]


@pytest.mark.parametrize("source, misuse", MISUSE_CASES)
def test_is_misusing_reverse_lazy(source, misuse):
    call = next(c for c in astroid.parse(source).nodes_of_class(astroid.Call) if c.func.as_string() == "reverse_lazy")
    assert urls.is_misusing_reverse_lazy(call) is misuse


@pytest.mark.parametrize("source", ["def f():\n    x.reverse_lazy('a')", "def f():\n    rl('a')"])
def test_other_callees_are_not_examined(source):
    call = next(astroid.parse(source).nodes_of_class(astroid.Call))
    assert urls.is_misusing_reverse_lazy(call) is None


def test_reverse_lazy_findings(tmp_path):
    source = (
        "from django.urls import reverse_lazy\n"
        "class View:\n"
        "    success_url = reverse_lazy('home')\n"
        "    def get_url(self):\n"
        "        return reverse_lazy('item', args=[reverse_lazy])\n"
    )
    assert lint(tmp_path, source) == [("C6002", 5, {"signature": "('item', args=[])"})]

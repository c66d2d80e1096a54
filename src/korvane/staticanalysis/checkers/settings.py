"""Stand-in for the host's own settings checker (`checkers.settings`).

A small version of it: it reads a Django settings module as the code leaves it at its
end, reports what Django's own deployment checks would warn about, and fixes it by
editing the module tree in place. Every predicate answers False on anything it cannot
read for certain: a missed finding is better than a wrong one.
"""
import functools

# helpers first: it loads pylint without the project's configuration files.
from .. import helpers

import astroid
from pylint.checkers import BaseChecker
from pylint.checkers.utils import safe_infer
from pylint.interfaces import IAstroidChecker


class Codes:
    C4005 = "C4005"
    C4007 = "C4007"
    C4008 = "C4008"
    C4009 = "C4009"
    C4010 = "C4010"
    C4011 = "C4011"
    C4012 = "C4012"
    C4013 = "C4013"
    C4014 = "C4014"
    C4015 = "C4015"
    C4016 = "C4016"
    C4017 = "C4017"


SECURITY_MIDDLEWARE = "django.middleware.security.SecurityMiddleware"
XFRAME_MIDDLEWARE = "django.middleware.clickjacking.XFrameOptionsMiddleware"
CSRF_MIDDLEWARE = "django.middleware.csrf.CsrfViewMiddleware"
SESSION_MIDDLEWARE = "django.contrib.sessions.middleware.SessionMiddleware"
COMMON_MIDDLEWARE = "django.middleware.common.CommonMiddleware"
SESSIONS_APP = "django.contrib.sessions"

# Django's defaults (django/conf/global_settings.py) of the settings read here, which
# hold when the settings module leaves one out.
DJANGO_DEFAULTS = {
    "DEBUG": False,
    "SECURE_HSTS_SECONDS": 0,
    "SECURE_HSTS_INCLUDE_SUBDOMAINS": False,
    "SECURE_HSTS_PRELOAD": False,
    "SECURE_CONTENT_TYPE_NOSNIFF": True,
    "SECURE_SSL_REDIRECT": False,
    "SECURE_REFERRER_POLICY": "same-origin",
    "SESSION_COOKIE_SECURE": False,
    "SESSION_COOKIE_HTTPONLY": True,
    "CSRF_COOKIE_SECURE": False,
    "CSRF_USE_SESSIONS": False,
}

# One year: the max-age that browsers' HSTS preload lists ask for.
HSTS_SECONDS = 31536000

# How many `from ... import` steps a setting is followed through (split settings
# rarely chain more than two); the bound also ends import cycles.
IMPORT_DEPTH = 4

# Top-level calls that make settings at run time: `include(...)` of split-settings
# packages, and anything handed the module's namespace (`locals()`, `globals()`,
# `vars()`).
SETTINGS_LOADERS = frozenset({"include"})
NAMESPACE_CALLS = frozenset({"locals", "globals", "vars"})

# Scopes whose bindings are not settings of the module.
INNER_SCOPES = (astroid.FunctionDef, astroid.AsyncFunctionDef, astroid.ClassDef,
                astroid.Lambda)

# Nothing in the module binds the setting.
MISSING = type("Missing", (), {"__repr__": lambda self: "MISSING"})()
# Something binds it in a way this reader does not follow.
UNKNOWN = type("Unknown", (), {"__repr__": lambda self: "UNKNOWN"})()


# --- reading a settings module ----------------------------------------------------

def never_raises(predicate):
    """Predicates answer False on anything odd instead of raising."""
    @functools.wraps(predicate)
    def guarded(module_node, settings_modpath):
        try:
            return bool(predicate(module_node, settings_modpath))
        except Exception:  # an odd tree or a failing inference is no finding
            return False

    return guarded


def binds(statement, name):
    """Whether `statement` binds `name` anywhere in the module's own scope."""
    if isinstance(statement, INNER_SCOPES):
        return getattr(statement, "name", None) == name
    for node in statement.nodes_of_class((astroid.AssignName, astroid.Import,
                                          astroid.ImportFrom), skip_klass=INNER_SCOPES):
        if isinstance(node, astroid.AssignName):
            if node.name == name:
                return True
            continue
        for original, alias in node.names:
            bound = alias or original.split(".")[0]
            if original == "*" or bound == name:
                return True
    return False


def callee_name(call):
    func = call.func
    if isinstance(func, astroid.Name):
        return func.name
    if isinstance(func, astroid.Attribute):
        return func.attrname
    return None


def is_dynamic(statement):
    """Whether a top-level statement makes settings at run time."""
    if isinstance(statement, INNER_SCOPES):
        return False
    if isinstance(statement, astroid.Expr) and isinstance(statement.value, astroid.Call):
        if callee_name(statement.value) in SETTINGS_LOADERS:
            return True
    for call in statement.nodes_of_class(astroid.Call, skip_klass=INNER_SCOPES):
        if isinstance(call.func, astroid.Name) and call.func.name in NAMESPACE_CALLS:
            return True
    return False


def assigns(statement, name):
    return isinstance(statement, astroid.Assign) and any(
        isinstance(target, astroid.AssignName) and target.name == name
        for target in statement.targets
    )


def imported(statement, name, depth):
    """The value that an import-from statement gives `name`: MISSING when it does not
    bind it."""
    for original, alias in statement.names:
        if original == "*" or (alias or original) == name:
            break
    else:
        return MISSING
    if depth <= 0:
        return UNKNOWN
    try:
        module = statement.do_import_module()
    except Exception:  # an import that does not resolve leaves the value unknown
        return UNKNOWN
    wanted = name if original == "*" else original
    _, value = lookup(module, wanted, depth - 1)
    # A named import that the module does not define may be a submodule.
    if original != "*" and value is MISSING:
        return UNKNOWN
    return value


def lookup(module_node, name, depth=IMPORT_DEPTH):
    """(statement, value) of `name` as the module's top level leaves it. `value` is
    the node of its value, MISSING or UNKNOWN (a conditional, unpacking or augmented
    binding, an import that does not resolve, settings made at run time); `statement`
    is the module's own assignment that gives the value, else None."""
    for statement in reversed(module_node.body):
        if is_dynamic(statement):
            return None, UNKNOWN
        if assigns(statement, name):
            return statement, statement.value
        if isinstance(statement, astroid.ImportFrom):
            value = imported(statement, name, depth)
            if value is not MISSING:
                return None, value
        elif binds(statement, name):
            return None, UNKNOWN
    return None, MISSING


def constant(module_node, name):
    """The plain value of a setting, Django's default when the module leaves it out,
    or UNKNOWN."""
    _, value = lookup(module_node, name)
    if value is MISSING:
        return DJANGO_DEFAULTS[name]
    if value is UNKNOWN:
        return UNKNOWN
    inferred = value if isinstance(value, astroid.Const) else safe_infer(value)
    return inferred.value if isinstance(inferred, astroid.Const) else UNKNOWN


def strings(module_node, name):
    """(texts, complete) of a list or tuple setting such as MIDDLEWARE: the constant
    texts it holds, and whether it holds nothing else."""
    _, value = lookup(module_node, name)
    if value is MISSING or value is UNKNOWN:
        return [], False
    sequence = value if isinstance(value, (astroid.List, astroid.Tuple)) else safe_infer(value)
    if not isinstance(sequence, (astroid.List, astroid.Tuple)):
        return [], False
    texts = []
    for element in sequence.elts:
        inferred = element if isinstance(element, astroid.Const) else safe_infer(element)
        if isinstance(inferred, astroid.Const) and isinstance(inferred.value, str):
            texts.append(inferred.value)
    return texts, len(texts) == len(sequence.elts)


def own_list(module_node, name):
    """The module's own assignment of a list or tuple literal to `name` that holds at
    its end, else None."""
    statement, value = lookup(module_node, name)
    if statement is not None and isinstance(value, (astroid.List, astroid.Tuple)):
        return statement
    return None


def own_single_assignment(module_node, name):
    """The module's own `name = value` statement that holds at its end, else None."""
    statement, _ = lookup(module_node, name)
    if statement is not None and len(statement.targets) == 1:
        return statement
    return None


def is_settings_module(module_node, settings_modpath):
    if not isinstance(module_node, astroid.Module):
        return False
    if settings_modpath is not None:
        return module_node.name == settings_modpath
    # With no settings module named, only a module that is one by both its name and
    # its content counts, so that no ordinary module is ever read as settings.
    return module_node.name.endswith("settings") and any(
        assigns(statement, name)
        for statement in module_node.body for name in ("MIDDLEWARE", "INSTALLED_APPS")
    )


def has_middleware(module_node, middleware):
    return middleware in strings(module_node, "MIDDLEWARE")[0]


def lacks_own_middleware(module_node, middleware):
    """The module writes its MIDDLEWARE list itself, and it lacks `middleware`."""
    if own_list(module_node, "MIDDLEWARE") is None:
        return False
    texts, complete = strings(module_node, "MIDDLEWARE")
    return complete and middleware not in texts


def uses_sessions(module_node):
    return (SESSIONS_APP in strings(module_node, "INSTALLED_APPS")[0]
            or has_middleware(module_node, SESSION_MIDDLEWARE))


def is_not_true(module_node, name):
    value = constant(module_node, name)
    return value is not UNKNOWN and value is not True


def serves_https(module_node):
    """Whether the HTTPS-only settings apply: not in a module with DEBUG on, which
    serves development over plain HTTP, where they would lock the developer out."""
    return constant(module_node, "DEBUG") is not True


def hsts_on(module_node):
    """The security middleware sends HSTS headers: the flags that refine them apply."""
    seconds = constant(module_node, "SECURE_HSTS_SECONDS")
    return (serves_https(module_node) and has_middleware(module_node, SECURITY_MIDDLEWARE)
            and seconds is not UNKNOWN and bool(seconds))


# --- predicates ----------------------------------------------------------------------
# Each holds only for the project's settings module and a setting that Django's own
# deployment checks call insecure; the HTTPS-only ones also need `serves_https`.

@never_raises
def is_missing_security_middleware(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath)
            and lacks_own_middleware(module_node, SECURITY_MIDDLEWARE))


@never_raises
def is_missing_xframe_middleware(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath)
            and lacks_own_middleware(module_node, XFRAME_MIDDLEWARE))


@never_raises
def is_missing_csrf_middleware(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath)
            and lacks_own_middleware(module_node, CSRF_MIDDLEWARE))


@never_raises
def is_missing_secure_hsts_seconds(module_node, settings_modpath):
    if not (is_settings_module(module_node, settings_modpath) and serves_https(module_node)
            and has_middleware(module_node, SECURITY_MIDDLEWARE)):
        return False
    seconds = constant(module_node, "SECURE_HSTS_SECONDS")
    return seconds is not UNKNOWN and not seconds


@never_raises
def is_missing_secure_hsts_subdomains(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath) and hsts_on(module_node)
            and is_not_true(module_node, "SECURE_HSTS_INCLUDE_SUBDOMAINS"))


@never_raises
def is_missing_secure_hsts_preload(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath) and hsts_on(module_node)
            and is_not_true(module_node, "SECURE_HSTS_PRELOAD"))


@never_raises
def is_missing_secure_content_type_nosniff(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath)
            and has_middleware(module_node, SECURITY_MIDDLEWARE)
            and is_not_true(module_node, "SECURE_CONTENT_TYPE_NOSNIFF"))


@never_raises
def is_missing_secure_ssl_redirect(module_node, settings_modpath):
    return (is_settings_module(module_node, settings_modpath) and serves_https(module_node)
            and has_middleware(module_node, SECURITY_MIDDLEWARE)
            and is_not_true(module_node, "SECURE_SSL_REDIRECT"))


@never_raises
def is_missing_session_cookie_secure(module_node, settings_modpath):
    if not (is_settings_module(module_node, settings_modpath) and serves_https(module_node)
            and uses_sessions(module_node)):
        return False
    secure = constant(module_node, "SESSION_COOKIE_SECURE")
    return secure is not UNKNOWN and not secure


@never_raises
def is_session_cookie_http_only_insecure(module_node, settings_modpath):
    # Only the module's own statement is reported: its fix removes that statement.
    if not (is_settings_module(module_node, settings_modpath) and uses_sessions(module_node)):
        return False
    statement = own_single_assignment(module_node, "SESSION_COOKIE_HTTPONLY")
    return statement is not None and is_removable(statement)


@never_raises
def is_missing_csrf_cookie_secure(module_node, settings_modpath):
    if not (is_settings_module(module_node, settings_modpath) and serves_https(module_node)
            and has_middleware(module_node, CSRF_MIDDLEWARE)):
        return False
    in_session = constant(module_node, "CSRF_USE_SESSIONS")
    secure = constant(module_node, "CSRF_COOKIE_SECURE")
    return UNKNOWN not in (in_session, secure) and not in_session and not secure


@never_raises
def is_referrer_policy_switched_off(module_node, settings_modpath):
    if not (is_settings_module(module_node, settings_modpath)
            and has_middleware(module_node, SECURITY_MIDDLEWARE)):
        return False
    statement = own_single_assignment(module_node, "SECURE_REFERRER_POLICY")
    return statement is not None and is_removable(statement)


# --- fixes ---------------------------------------------------------------------------
# Each edits the module in place and returns it, so that the later fixes of one pass
# still see the module.

def collect(module_node, channel, statement):
    """Hands a created or edited statement to the suggestion's side channel, when the
    module carries it."""
    nodes = getattr(module_node, channel, None)
    if nodes is not None and not any(node is statement for node in nodes):
        nodes.append(statement)


def edited(module_node, statement):
    # The checker reports its findings on the module's first statement, which the
    # suggestion renders itself.
    if module_node.body and statement is module_node.body[0]:
        return
    collect(module_node, "replace_other_nodes", statement)


def set_setting(module_node, name, source):
    """Gives `name` the value written in `source`: in the module's own statement that
    holds at its end, else in a new statement at the end of the module."""
    statement = own_single_assignment(module_node, name)
    if statement is not None:
        value = astroid.extract_node(source)
        value.parent = statement
        statement.value = value
        edited(module_node, statement)
        return module_node
    statement = astroid.extract_node("{} = {}".format(name, source))
    statement.parent = module_node
    module_node.body.append(statement)
    collect(module_node, "new_nodes", statement)
    return module_node


def first_position(texts):
    return 0


def csrf_position(texts):
    # After the middleware whose work the CSRF check builds on, as in Django's own
    # project template.
    earlier = [texts.index(m) + 1 for m in (SECURITY_MIDDLEWARE, SESSION_MIDDLEWARE,
                                             COMMON_MIDDLEWARE) if m in texts]
    return max(earlier, default=0)


def last_position(texts):
    return len(texts)


def add_middleware(module_node, middleware, position):
    statement = own_list(module_node, "MIDDLEWARE")
    if statement is None:
        return module_node
    sequence = statement.value
    texts = [element.value if isinstance(element, astroid.Const) else None
             for element in sequence.elts]
    if middleware in texts:
        return module_node
    element = astroid.nodes.Const(middleware, parent=sequence)
    sequence.elts.insert(position(texts), element)
    edited(module_node, statement)
    return module_node


def remove_statements(module_node, name):
    """Removes the module's own `name = ...` statement that holds at its end when
    removing it restores Django's secure default."""
    statement = own_single_assignment(module_node, name)
    if statement is not None and is_removable(statement):
        module_node.body.remove(statement)
    return module_node


def add_security_middlware(module_node):
    # First, as Django's project template has it: its redirects and headers apply to
    # every response.
    return add_middleware(module_node, SECURITY_MIDDLEWARE, first_position)


def add_xframe_middlware(module_node):
    return add_middleware(module_node, XFRAME_MIDDLEWARE, last_position)


def add_csrf_middlware(module_node):
    return add_middleware(module_node, CSRF_MIDDLEWARE, csrf_position)


def add_hsts_seconds(module_node):
    return set_setting(module_node, "SECURE_HSTS_SECONDS", str(HSTS_SECONDS))


def add_hsts_subdomains(module_node):
    return set_setting(module_node, "SECURE_HSTS_INCLUDE_SUBDOMAINS", "True")


def add_hsts_preload(module_node):
    return set_setting(module_node, "SECURE_HSTS_PRELOAD", "True")


def add_secure_content_type_nosniff(module_node):
    return set_setting(module_node, "SECURE_CONTENT_TYPE_NOSNIFF", "True")


def add_secure_ssl_redirect(module_node):
    return set_setting(module_node, "SECURE_SSL_REDIRECT", "True")


def add_session_cookie_secure(module_node):
    return set_setting(module_node, "SESSION_COOKIE_SECURE", "True")


def add_csrf_cookie_secure(module_node):
    return set_setting(module_node, "CSRF_COOKIE_SECURE", "True")


def remove_session_cookie_http_only(module_node):
    return remove_statements(module_node, "SESSION_COOKIE_HTTPONLY")


def remove_referrer_policy(module_node):
    return remove_statements(module_node, "SECURE_REFERRER_POLICY")


# --- statement removal ---------------------------------------------------------------

def switches_http_only_off(value):
    return not value


def switches_referrer_policy_off(value):
    return value is None


# Settings whose statement is removed, with the values that switch a secure default
# off; removing the statement gives the default back.
REMOVABLE = {
    "SESSION_COOKIE_HTTPONLY": switches_http_only_off,
    "SECURE_REFERRER_POLICY": switches_referrer_policy_off,
}


def is_removable(node):
    """A top-level `SETTING = value` statement that switches a secure default off."""
    if not (isinstance(node, astroid.Assign) and isinstance(node.parent, astroid.Module)
            and len(node.targets) == 1 and isinstance(node.targets[0], astroid.AssignName)):
        return False
    switches_off = REMOVABLE.get(node.targets[0].name)
    value = node.value if isinstance(node.value, astroid.Const) else safe_infer(node.value)
    return (switches_off is not None and isinstance(value, astroid.Const)
            and switches_off(value.value))


def remove_node(atok, node, start, end):
    """The suggestion that deletes the lines `start` to `end` of the statement `node`
    when it is a removable setting: empty replacement code. (None, None, None) for any
    other statement."""
    try:
        removable = is_removable(node)
    except Exception:  # an odd node is no statement to remove
        removable = False
    if removable:
        return start, end, ""
    return None, None, None


# --- the fix registry ----------------------------------------------------------------

# Code, predicate, fix, in the order the fixes run: the middleware first, as the other
# settings only count with it; the HSTS flags after the HSTS duration they refine.
RULES = (
    (Codes.C4007, is_missing_security_middleware, add_security_middlware),
    (Codes.C4008, is_missing_xframe_middleware, add_xframe_middlware),
    (Codes.C4009, is_missing_csrf_middleware, add_csrf_middlware),
    (Codes.C4010, is_missing_secure_hsts_seconds, add_hsts_seconds),
    (Codes.C4011, is_missing_secure_hsts_subdomains, add_hsts_subdomains),
    (Codes.C4012, is_missing_secure_content_type_nosniff, add_secure_content_type_nosniff),
    (Codes.C4013, is_missing_secure_ssl_redirect, add_secure_ssl_redirect),
    (Codes.C4014, is_missing_session_cookie_secure, add_session_cookie_secure),
    (Codes.C4015, is_session_cookie_http_only_insecure, remove_session_cookie_http_only),
    (Codes.C4016, is_missing_csrf_cookie_secure, add_csrf_cookie_secure),
    (Codes.C4017, is_missing_secure_hsts_preload, add_hsts_preload),
    (Codes.C4005, is_referrer_policy_switched_off, remove_referrer_policy),
)

# The findings reported on the statement that their fix removes; every other one is
# reported on the module's first statement.
STATEMENT_FINDINGS = {
    Codes.C4015: "SESSION_COOKIE_HTTPONLY",
    Codes.C4005: "SECURE_REFERRER_POLICY",
}


def bound_predicate(predicate, settings_modpath):
    def applies(module_node):
        return predicate(module_node=module_node, settings_modpath=settings_modpath)

    return applies


def build_transformer_visitor(message_ids, settings_modpath):
    """The fix registry of the settings codes among `message_ids`; its `visit(module)`
    edits the module in place."""
    visitor = helpers.NodeTransformVisitor()
    for code, predicate, fix in RULES:
        if code in message_ids:
            visitor.register_transform(astroid.Module, fix,
                                       bound_predicate(predicate, settings_modpath))
    return visitor


# --- the plug-in ---------------------------------------------------------------------

def checked_modpath(module_node, settings_files):
    """The settings module path to check a module against, or MISSING when the module
    is none of the configured settings modules. A configured None (no settings module
    known) lets the predicates judge by the module itself."""
    for modpath in settings_files:
        if modpath is not None and modpath == module_node.name:
            return modpath
    if any(modpath is None for modpath in settings_files):
        return None
    return MISSING


class Checker(BaseChecker):
    __implements__ = (IAstroidChecker,)

    name = "django-settings-checker"
    msgs = {
        Codes.C4005: (helpers.context_string(), "referrer-policy-switched-off",
                      "SECURE_REFERRER_POLICY set to None"),
        Codes.C4007: (helpers.context_string(), "missing-security-middleware",
                      "Security middleware missing from MIDDLEWARE"),
        Codes.C4008: (helpers.context_string(), "missing-xframe-middleware",
                      "Clickjacking middleware missing from MIDDLEWARE"),
        Codes.C4009: (helpers.context_string(), "missing-csrf-middleware",
                      "CSRF middleware missing from MIDDLEWARE"),
        Codes.C4010: (helpers.context_string(), "missing-secure-hsts-seconds",
                      "SECURE_HSTS_SECONDS not set"),
        Codes.C4011: (helpers.context_string(), "missing-secure-hsts-subdomains",
                      "SECURE_HSTS_INCLUDE_SUBDOMAINS not set to True"),
        Codes.C4012: (helpers.context_string(), "missing-secure-content-type-nosniff",
                      "SECURE_CONTENT_TYPE_NOSNIFF not set to True"),
        Codes.C4013: (helpers.context_string(), "missing-secure-ssl-redirect",
                      "SECURE_SSL_REDIRECT not set to True"),
        Codes.C4014: (helpers.context_string(), "missing-session-cookie-secure",
                      "SESSION_COOKIE_SECURE not set to True"),
        Codes.C4015: (helpers.context_string(), "session-cookie-http-only-insecure",
                      "SESSION_COOKIE_HTTPONLY switched off"),
        Codes.C4016: (helpers.context_string(), "missing-csrf-cookie-secure",
                      "CSRF_COOKIE_SECURE not set to True"),
        Codes.C4017: (helpers.context_string(), "missing-secure-hsts-preload",
                      "SECURE_HSTS_PRELOAD not set to True"),
    }
    options = ()

    def visit_module(self, node):
        settings_files = getattr(self.linter.config, "settings_files", None) or ()
        modpath = checked_modpath(node, settings_files)
        if modpath is MISSING:
            return
        for code, predicate, _ in RULES:
            if predicate(module_node=node, settings_modpath=modpath):
                self.report(node, code)

    def report(self, module_node, code):
        name = STATEMENT_FINDINGS.get(code)
        if name is not None:
            statement = own_single_assignment(module_node, name)
        else:
            statement = module_node.body[0] if module_node.body else None
        if statement is None:
            self.add_message(code, line=1, args={})
        else:
            self.add_message(code, node=statement, args={})

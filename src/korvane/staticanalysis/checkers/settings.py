"""Stand-in for the host's own settings checker (`checkers.settings`).

It declares the settings codes and their messages so that the lint driver registers
it and knows its symbols; it checks nothing yet.
"""

# helpers first: it loads pylint without the project's configuration files.
from .. import helpers

from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker


class Codes:
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


class Checker(BaseChecker):
    __implements__ = (IAstroidChecker,)

    name = "django-settings-checker"
    msgs = {
        Codes.C4007: (helpers.context_string(), "missing-security-middleware",
                      "Security middleware missing from MIDDLEWARE"),
        Codes.C4008: (helpers.context_string(), "missing-xframe-middleware",
                      "Clickjacking middleware missing from MIDDLEWARE"),
        Codes.C4009: (helpers.context_string(), "missing-csrf-middleware",
                      "CSRF middleware missing from MIDDLEWARE"),
        Codes.C4010: (helpers.context_string(), "missing-secure-hsts-seconds",
                      "SECURE_HSTS_SECONDS not set"),
        Codes.C4011: (helpers.context_string(), "missing-secure-hsts-subdomains",
                      "SECURE_HSTS_INCLUDE_SUBDOMAINS not set"),
        Codes.C4012: (helpers.context_string(), "missing-secure-content-type-nosniff",
                      "SECURE_CONTENT_TYPE_NOSNIFF not set"),
        Codes.C4013: (helpers.context_string(), "missing-secure-ssl-redirect",
                      "SECURE_SSL_REDIRECT not set"),
        Codes.C4014: (helpers.context_string(), "missing-session-cookie-secure",
                      "SESSION_COOKIE_SECURE not set"),
        Codes.C4015: (helpers.context_string(), "session-cookie-http-only-insecure",
                      "SESSION_COOKIE_HTTPONLY switched off"),
        Codes.C4016: (helpers.context_string(), "missing-csrf-cookie-secure",
                      "CSRF_COOKIE_SECURE not set"),
        Codes.C4017: (helpers.context_string(), "missing-secure-hsts-preload",
                      "SECURE_HSTS_PRELOAD not set"),
    }
    options = ()

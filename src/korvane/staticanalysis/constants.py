"""Stand-in for the host's own `constants` module: the sets of message codes that the
fix suggestions and the code transformer can fix.

`SKIP_LINE_ID` is the code a host sends with a finding to ask for a disable pragma on
that line instead of a fix.
"""

TRANSFORMABLE_MODEL_FIELD_RULES = frozenset({"C2000", "C2002", "C2003", "C2006", "C2008"})
TRANSFORMABLE_URL_RULES = frozenset({"C6002"})
TRANSFORMABLE_MIGRATION_RULES = frozenset({"C8001"})
TRANSFORMABLE_QUERYSET_RULES = frozenset({"C9000", "C9001", "C9002", "C9003"})
TRANSFORMABLE_SETTINGS_RULES = frozenset(
    {"C4005"} | {"C40%02d" % number for number in range(7, 18)}
)
TRANSFORMABLE_TEMPLATE_RULES = frozenset({"C7001"})

SKIP_LINE_ID = "C0000"

TRANSFORMABLE_RULES = (
    TRANSFORMABLE_MODEL_FIELD_RULES
    | TRANSFORMABLE_URL_RULES
    | TRANSFORMABLE_MIGRATION_RULES
    | TRANSFORMABLE_QUERYSET_RULES
    | TRANSFORMABLE_SETTINGS_RULES
    | TRANSFORMABLE_TEMPLATE_RULES
    | {SKIP_LINE_ID}
)

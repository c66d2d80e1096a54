"""Stand-in for the host's own `wordings` module.

One public attribute per message code that the analysis reports; each holds a short
wording that is formatted with the finding's context mapping (`wording % context`).
Only the attribute names matter to the lint driver: they are the reportable codes.
"""

E0001 = "The module could not be parsed: syntax error."

C1000 = "Django %(minor)s is required here (specifier %(specs)r)."

C2000 = "String field %(name)s allows NULL; use an empty default instead."
C2001 = "This model has %(count)s fields; consider splitting it."
C2002 = "Field %(name)s passes %(option)s=%(value)r, which is already the default."
C2003 = "Field %(name)s allows NULL but not blank values in forms."
C2004 = "Field %(name)s uses %(option)s, which is brittle."
C2005 = "Relation %(name)s has no related_name."
C2006 = "Field %(name)s has a very large max_length (%(value)s); use a TextField."
C2008 = "Field %(name)s uses the deprecated NullBooleanField."
C2011 = "Field %(name)s is a primary key that is not unique."

C3000 = "This module defines %(count)s models; keep it below %(maximum)s."
C3002 = "Member %(after)s should come after %(before)s."
C3003 = "%(count)s model names share the prefix %(prefix)r."

C4005 = "SECURE_REFERRER_POLICY is None, which switches the Referrer-Policy header off."
C4007 = "The security middleware is missing from MIDDLEWARE."
C4008 = "The clickjacking (X-Frame-Options) middleware is missing from MIDDLEWARE."
C4009 = "The CSRF middleware is missing from MIDDLEWARE."
C4010 = "SECURE_HSTS_SECONDS is not set."
C4011 = "SECURE_HSTS_INCLUDE_SUBDOMAINS is not set to True."
C4012 = "SECURE_CONTENT_TYPE_NOSNIFF is not set to True."
C4013 = "SECURE_SSL_REDIRECT is not set to True."
C4014 = "SESSION_COOKIE_SECURE is not set to True."
C4015 = "SESSION_COOKIE_HTTPONLY is switched off."
C4016 = "CSRF_COOKIE_SECURE is not set to True."
C4017 = "SECURE_HSTS_PRELOAD is not set to True."

C5000 = "Admin class %(name)s should live in admin.py."

C6001 = "The URL name %(name)r is used more than once."
C6002 = "Use reverse instead of reverse_lazy here: %(signature)s"

C7000 = "Hard-coded URL; use the url template tag."
C7001 = "Hard-coded static path %(path)r; use the static template tag."

C8000 = "Model %(name)s is imported into a migration; use apps.get_model."
C8001 = "RunPython(%(forwards_name)s) has no reverse code."

C9000 = "Use queryset.count() instead of len(queryset)."
C9001 = "Use %(me)s.%(related_name)s_id instead of %(me)s.%(related_name)s.%(pk_attribute)s."
C9002 = "Use %(queryset)s.exists() instead of counting."
C9003 = "Use %(queryset)s.exists() instead of a truth test on the queryset."

"""Settings of the bookshop.

base_settings holds everything shared; production_settings builds on it for the live
site. Pick one with DJANGO_SETTINGS_MODULE (manage.py defaults to base_settings, the
WSGI entry point to production_settings).
"""

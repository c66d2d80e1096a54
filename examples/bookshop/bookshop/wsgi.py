"""WSGI entry point of the bookshop, exposed as the module-level `application`."""
import os

from django.core.wsgi import get_wsgi_application

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "bookshop.settings.production_settings")

application = get_wsgi_application()

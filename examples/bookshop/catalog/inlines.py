"""Inline editors shared by the catalogue's admin pages."""
from django.contrib import admin

from .models import BookImage, Review


class BookImageInline(admin.TabularInline):
    model = BookImage
    extra = 1


class ReviewInline(admin.StackedInline):
    model = Review
    extra = 0
    fields = ["reviewer", "rating", "body", "is_published"]
    readonly_fields = ["reviewer"]

from django.contrib import admin

from .inlines import BookImageInline, ReviewInline
from .models import Author, Book, Genre, Publisher, Series


@admin.register(Author)
class AuthorAdmin(admin.ModelAdmin):
    list_display = ["last_name", "first_name", "born_on"]
    search_fields = ["last_name", "first_name"]
    prepopulated_fields = {"slug": ("first_name", "last_name")}


@admin.register(Publisher)
class PublisherAdmin(admin.ModelAdmin):
    list_display = ["name", "country"]
    prepopulated_fields = {"slug": ("name",)}


@admin.register(Genre)
class GenreAdmin(admin.ModelAdmin):
    list_display = ["name", "parent"]
    prepopulated_fields = {"slug": ("name",)}


@admin.register(Series)
class SeriesAdmin(admin.ModelAdmin):
    list_display = ["title", "publisher"]


@admin.register(Book)
class BookAdmin(admin.ModelAdmin):
    list_display = ["title", "publisher", "price", "stock", "is_featured"]
    list_filter = ["book_format", "is_featured", "genres"]
    search_fields = ["title", "isbn"]
    filter_horizontal = ["authors", "genres"]
    inlines = [BookImageInline, ReviewInline]
    actions = ["mark_featured"]

    @admin.action(description="Feature the selected books")
    def mark_featured(self, request, queryset):
        updated = queryset.update(is_featured=True)
        self.message_user(request, "{} books featured.".format(updated))

from django.urls import path

from . import views

app_name = "catalog"

urlpatterns = [
    path("", views.BookListView.as_view(), name="book-list"),
    path("<int:pk>/", views.book_detail, name="book-detail"),
    # Short links printed on the shelf labels of the first shop.
    path("b/<int:book_id>/", views.book_detail, name="book-detail"),
    path("genre/<slug:slug>/", views.genre_detail, name="genre-detail"),
    path("authors/<slug:slug>/", views.author_detail, name="author-detail"),
    path("<int:pk>/review/", views.ReviewCreateView.as_view(), name="review-create"),
    path("search/", views.search, name="search"),
]

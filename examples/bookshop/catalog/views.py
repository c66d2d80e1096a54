from django.contrib.auth.mixins import LoginRequiredMixin
from django.db.models import Avg, Q
from django.shortcuts import get_object_or_404, render
from django.urls import reverse_lazy
from django.views.generic import CreateView, ListView

from .models import Author, Book, Genre, Review

PAGE_SIZE = 24


class BookListView(ListView):
    model = Book
    paginate_by = PAGE_SIZE
    template_name = "catalog/book_list.html"

    def get_queryset(self):
        return Book.objects.select_related("publisher").prefetch_related("authors")


def book_detail(request, pk=None, book_id=None):
    book = get_object_or_404(Book, pk=pk or book_id)
    reviews = Review.objects.filter(book=book, is_published=True)
    context = {
        "book": book,
        "reviews": reviews,
        "review_count": len(reviews),
        "average_rating": reviews.aggregate(avg=Avg("rating"))["avg"],
        "more_from_publisher": book.same_publisher()[:4],
    }
    return render(request, "catalog/book_detail.html", context)


def genre_detail(request, slug):
    genre = get_object_or_404(Genre, slug=slug)
    books = Book.objects.filter(genres=genre)
    if not books:
        books = Book.objects.filter(genres__parent=genre)
    return render(request, "catalog/book_list.html", {"genre": genre, "object_list": books})


def author_detail(request, slug):
    author = get_object_or_404(Author, slug=slug)
    books = author.books.order_by("-published_on")
    return render(request, "catalog/book_list.html", {"author": author, "object_list": books})


def search(request):
    query = request.GET.get("q", "").strip()
    books = Book.objects.none()
    if query:
        books = Book.objects.filter(
            Q(title__icontains=query) | Q(isbn=query) | Q(authors__last_name__icontains=query)
        ).distinct()
    return render(request, "catalog/book_list.html", {"query": query, "object_list": books})


class ReviewCreateView(LoginRequiredMixin, CreateView):
    model = Review
    fields = ["rating", "body"]
    template_name = "catalog/review_form.html"
    success_url = reverse_lazy("catalog:book-list")

    def form_valid(self, form):
        form.instance.book = get_object_or_404(Book, pk=self.kwargs["pk"])
        form.instance.reviewer = self.request.user
        return super().form_valid(form)

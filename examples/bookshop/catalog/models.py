"""The catalogue: books, the people and firms behind them, and what readers say."""
from decimal import Decimal

from django.conf import settings
from django.db import models
from django.urls import reverse
from django.utils import timezone
from django.utils.text import slugify


class TimeStampedModel(models.Model):
    created_at = models.DateTimeField(auto_now_add=True)
    updated_at = models.DateTimeField(auto_now=True)

    class Meta:
        abstract = True


class Author(TimeStampedModel):
    first_name = models.CharField(max_length=100)
    last_name = models.CharField(max_length=100)
    slug = models.SlugField(max_length=200, unique=True)
    biography = models.TextField(blank=True)
    born_on = models.DateField(null=True)
    website = models.URLField(blank=True)
    # Identifier in the shop we migrated from; empty for authors added since.
    legacy_ref = models.CharField(max_length=32, null=True, blank=True)  # korvane: disable=nullable-string-field

    class Meta:
        ordering = ["last_name", "first_name"]

    def __str__(self):
        return self.full_name

    def get_absolute_url(self):
        return reverse("catalog:author-detail", kwargs={"slug": self.slug})

    @property
    def full_name(self):
        return "{} {}".format(self.first_name, self.last_name).strip()


class Publisher(TimeStampedModel):
    name = models.CharField(max_length=200, unique=True)
    slug = models.SlugField(max_length=200, unique=True)
    country = models.CharField(max_length=2, blank=True)
    website = models.URLField(blank=True)

    class Meta:
        ordering = ["name"]

    def __str__(self):
        return self.name


class Genre(models.Model):
    name = models.CharField(max_length=100, unique=True)
    slug = models.SlugField(max_length=100, unique=True)
    parent = models.ForeignKey(
        "self", on_delete=models.CASCADE, related_name="children", null=True, blank=True
    )

    class Meta:
        ordering = ["name"]

    def __str__(self):
        return self.name


class Series(models.Model):
    title = models.CharField(max_length=200)
    publisher = models.ForeignKey(Publisher, on_delete=models.PROTECT, related_name="series")

    class Meta:
        verbose_name_plural = "series"

    def __str__(self):
        return self.title


class Book(TimeStampedModel):
    HARDBACK = "hb"
    PAPERBACK = "pb"
    EBOOK = "eb"
    FORMAT_CHOICES = [
        (HARDBACK, "Hardback"),
        (PAPERBACK, "Paperback"),
        (EBOOK, "E-book"),
    ]

    title = models.CharField(max_length=255)
    subtitle = models.CharField(max_length=255, null=True, blank=True)
    slug = models.SlugField(max_length=255, unique_for_date="published_on")
    isbn = models.CharField(max_length=13, unique=True)
    authors = models.ManyToManyField(Author, related_name="books")
    publisher = models.ForeignKey(Publisher, on_delete=models.PROTECT, related_name="books")
    series = models.ForeignKey(
        Series, on_delete=models.SET_NULL, related_name="books", null=True, blank=True
    )
    series_position = models.PositiveSmallIntegerField(null=True, blank=True)
    genres = models.ManyToManyField(Genre, related_name="books", blank=True)
    description = models.TextField(blank=True)
    blurb = models.CharField(max_length=2000, blank=True)
    book_format = models.CharField(max_length=2, choices=FORMAT_CHOICES, default=PAPERBACK)
    language = models.CharField(max_length=8, default="en")
    pages = models.PositiveIntegerField(null=True, blank=True)
    published_on = models.DateField(default=timezone.now)
    edition = models.PositiveSmallIntegerField(default=1)
    price = models.DecimalField(max_digits=8, decimal_places=2)
    sale_price = models.DecimalField(max_digits=8, decimal_places=2, null=True, blank=True)
    stock = models.PositiveIntegerField(default=0)
    weight_grams = models.PositiveIntegerField(null=True, blank=True)
    cover = models.FileField(upload_to="covers/", blank=True)
    is_featured = models.BooleanField(default=False, null=False)
    is_signed = models.NullBooleanField()

    class Meta:
        ordering = ["-published_on", "title"]

    def __str__(self):
        return self.title

    def get_absolute_url(self):
        return reverse("catalog:book-detail", kwargs={"pk": self.pk})

    @property
    def current_price(self):
        if self.sale_price is not None and self.sale_price < self.price:
            return self.sale_price
        return self.price

    def same_publisher(self):
        return Book.objects.filter(publisher_id=self.publisher.pk).exclude(pk=self.pk)

    def save(self, *args, **kwargs):
        if not self.slug:
            self.slug = slugify(self.title)[:255]
        super().save(*args, **kwargs)


class BookImage(models.Model):
    book = models.ForeignKey(Book, on_delete=models.CASCADE, related_name="images")
    image = models.FileField(upload_to="books/")
    caption = models.CharField(max_length=200, blank=True)
    position = models.PositiveSmallIntegerField(default=0)

    class Meta:
        ordering = ["position"]

    def __str__(self):
        return self.caption or self.image.name


class Review(TimeStampedModel):
    book = models.ForeignKey(Book, on_delete=models.CASCADE)
    reviewer = models.ForeignKey(
        settings.AUTH_USER_MODEL, on_delete=models.CASCADE, related_name="reviews"
    )
    rating = models.PositiveSmallIntegerField()
    body = models.TextField(blank=True)
    is_published = models.BooleanField(default=True)

    class Meta:
        ordering = ["-created_at"]
        constraints = [
            models.UniqueConstraint(fields=["book", "reviewer"], name="one_review_per_reader"),
        ]

    def __str__(self):
        return "{} on {}".format(self.reviewer, self.book)


class Wishlist(models.Model):
    owner = models.OneToOneField(
        settings.AUTH_USER_MODEL, on_delete=models.CASCADE, related_name="wishlist"
    )
    is_public = models.BooleanField(default=False)

    def __str__(self):
        return "Wishlist of {}".format(self.owner)

    def total_value(self):
        total = Decimal("0.00")
        for item in self.items.select_related("book"):
            total += item.book.current_price
        return total


class WishlistItem(models.Model):
    wishlist = models.ForeignKey(Wishlist, on_delete=models.CASCADE, related_name="items")
    book = models.ForeignKey(Book, on_delete=models.CASCADE, related_name="wishlist_items")
    added_at = models.DateTimeField(auto_now_add=True)

    class Meta:
        unique_together = [("wishlist", "book")]

    def __str__(self):
        return str(self.book)

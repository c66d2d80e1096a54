"""Carts, orders and what happens to an order after checkout."""
from decimal import Decimal

from django.conf import settings
from django.db import models
from django.urls import reverse

from catalog.models import Book


class Cart(models.Model):
    session_key = models.CharField(max_length=40, unique=True)
    owner = models.ForeignKey(
        settings.AUTH_USER_MODEL,
        on_delete=models.CASCADE,
        related_name="carts",
        null=True,
        blank=True,
    )
    created_at = models.DateTimeField(auto_now_add=True)

    def __str__(self):
        return "Cart {}".format(self.session_key)

    @property
    def total(self):
        return sum((item.subtotal for item in self.items.select_related("book")), Decimal("0.00"))


class CartItem(models.Model):
    cart = models.ForeignKey(Cart, on_delete=models.CASCADE, related_name="items")
    book = models.ForeignKey(Book, on_delete=models.CASCADE, related_name="cart_items")
    quantity = models.PositiveSmallIntegerField(default=1)

    class Meta:
        unique_together = [("cart", "book")]

    def __str__(self):
        return "{} x {}".format(self.quantity, self.book)

    @property
    def subtotal(self):
        return self.book.current_price * self.quantity


class Coupon(models.Model):
    code = models.CharField(max_length=20, primary_key=True, unique=False)
    percent_off = models.PositiveSmallIntegerField()
    valid_from = models.DateTimeField()
    valid_until = models.DateTimeField()
    max_uses = models.PositiveIntegerField(null=True, blank=True)

    def __str__(self):
        return self.code


class Order(models.Model):
    PENDING = "pending"
    PAID = "paid"
    SHIPPED = "shipped"
    CANCELLED = "cancelled"
    STATUS_CHOICES = [
        (PENDING, "Pending"),
        (PAID, "Paid"),
        (SHIPPED, "Shipped"),
        (CANCELLED, "Cancelled"),
    ]

    customer = models.ForeignKey(
        settings.AUTH_USER_MODEL, on_delete=models.PROTECT, related_name="orders"
    )
    status = models.CharField(max_length=16, choices=STATUS_CHOICES, default=PENDING)
    coupon = models.ForeignKey(
        Coupon, on_delete=models.SET_NULL, related_name="orders", null=True, blank=True
    )
    email = models.EmailField()
    placed_at = models.DateTimeField(auto_now_add=True)
    shipped_at = models.DateTimeField(null=True, blank=True)

    class Meta:
        ordering = ["-placed_at"]

    gift_message = models.TextField(blank=True)

    def __str__(self):
        return "Order #{}".format(self.pk)

    def get_absolute_url(self):
        return reverse("orders:order-detail", kwargs={"pk": self.pk})

    @property
    def total(self):
        total = sum((line.subtotal for line in self.lines.all()), Decimal("0.00"))
        if self.coupon_id:
            total -= total * self.coupon.percent_off / 100
        return total.quantize(Decimal("0.01"))


class OrderLine(models.Model):
    order = models.ForeignKey(Order, on_delete=models.CASCADE, related_name="lines")
    book = models.ForeignKey(Book, on_delete=models.PROTECT, related_name="order_lines")
    quantity = models.PositiveSmallIntegerField()
    unit_price = models.DecimalField(max_digits=8, decimal_places=2)

    def __str__(self):
        return "{} x {}".format(self.quantity, self.book)

    @property
    def subtotal(self):
        return self.unit_price * self.quantity


class OrderNote(models.Model):
    order = models.ForeignKey(Order, on_delete=models.CASCADE, related_name="notes")
    author = models.ForeignKey(
        settings.AUTH_USER_MODEL, on_delete=models.SET_NULL, related_name="+", null=True
    )
    text = models.TextField()
    created_at = models.DateTimeField(auto_now_add=True)

    def __str__(self):
        return self.text[:50]


class OrderEvent(models.Model):
    order = models.ForeignKey(Order, on_delete=models.CASCADE, related_name="events")
    status = models.CharField(max_length=16, choices=Order.STATUS_CHOICES)
    happened_at = models.DateTimeField(auto_now_add=True)

    class Meta:
        ordering = ["happened_at"]

    def __str__(self):
        return "{} {}".format(self.status, self.happened_at)


class OrderRefund(models.Model):
    order = models.ForeignKey(Order, on_delete=models.PROTECT, related_name="refunds")
    amount = models.DecimalField(max_digits=8, decimal_places=2)
    reason = models.TextField(blank=True)
    refunded_at = models.DateTimeField(auto_now_add=True)

    def save(self, *args, **kwargs):
        if self.amount > self.order.total:
            raise ValueError("A refund cannot exceed the order total.")
        super().save(*args, **kwargs)

    def __str__(self):
        return "Refund of {} on {}".format(self.amount, self.order)


class ShippingAddress(models.Model):
    order = models.OneToOneField(Order, on_delete=models.CASCADE, related_name="address")
    name = models.CharField(max_length=200)
    line1 = models.CharField(max_length=200)
    line2 = models.CharField(max_length=200, blank=True)
    city = models.CharField(max_length=100)
    postcode = models.CharField(max_length=16)
    country = models.CharField(max_length=2, default="GB")

    class Meta:
        verbose_name_plural = "shipping addresses"

    def __str__(self):
        return "{}, {}".format(self.name, self.city)

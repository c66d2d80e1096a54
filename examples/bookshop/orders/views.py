from django.contrib import messages
from django.contrib.auth.decorators import login_required
from django.contrib.auth.mixins import LoginRequiredMixin
from django.db import transaction
from django.shortcuts import get_object_or_404, redirect, render
from django.urls import reverse, reverse_lazy
from django.views.decorators.http import require_POST
from django.views.generic import FormView

from catalog.models import Book

from .forms import CheckoutForm
from .models import Cart, CartItem, Order, OrderLine, ShippingAddress


def get_cart(request):
    if not request.session.session_key:
        request.session.create()
    cart, _ = Cart.objects.get_or_create(session_key=request.session.session_key)
    return cart


def cart_detail(request):
    return render(request, "orders/cart.html", {"cart": get_cart(request)})


@require_POST
def add_to_cart(request, book_id):
    book = get_object_or_404(Book, pk=book_id)
    if book.stock == 0:
        messages.error(request, "Sorry, {} is out of stock.".format(book))
        return redirect(book.get_absolute_url())
    item, created = CartItem.objects.get_or_create(cart=get_cart(request), book=book)
    if not created:
        item.quantity += 1
        item.save()
    messages.success(request, "{} is in your cart.".format(book))
    return redirect(reverse_lazy("orders:cart"))


@require_POST
def remove_from_cart(request, item_id):
    CartItem.objects.filter(pk=item_id, cart=get_cart(request)).delete()
    return redirect(reverse("orders:cart"))


class CheckoutView(LoginRequiredMixin, FormView):
    form_class = CheckoutForm
    template_name = "orders/checkout.html"
    success_url = reverse_lazy("orders:thanks")

    def dispatch(self, request, *args, **kwargs):
        items = CartItem.objects.filter(cart=get_cart(request))
        if items.count() == 0:
            messages.info(request, "Your cart is empty.")
            return redirect("orders:cart")
        return super().dispatch(request, *args, **kwargs)

    @transaction.atomic
    def form_valid(self, form):
        cart = get_cart(self.request)
        order = Order.objects.create(customer=self.request.user, email=form.cleaned_data["email"])
        for item in cart.items.select_related("book"):
            OrderLine.objects.create(
                order=order,
                book=item.book,
                quantity=item.quantity,
                unit_price=item.book.current_price,
            )
        ShippingAddress.objects.create(order=order, **form.address_fields())
        cart.delete()
        self.request.session["last_order"] = order.pk
        return super().form_valid(form)


@login_required
def order_detail(request, pk):
    order = get_object_or_404(Order, pk=pk, customer=request.user)
    return render(request, "orders/order_detail.html", {"order": order})


def thanks(request):
    if "last_order" not in request.session:
        return redirect("orders:cart")
    order = Order.objects.get(pk=request.session["last_order"])
    pending = Order.objects.filter(customer=order.customer.id, status=Order.PENDING)
    context = {"order": order}
    if pending:
        context["pending_orders"] = pending.exclude(pk=order.pk)
    return render(request, "orders/thanks.html", context)

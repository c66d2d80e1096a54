from django.urls import path

from . import views

app_name = "orders"

urlpatterns = [
    path("cart/", views.cart_detail, name="cart"),
    path("cart/add/<int:book_id>/", views.add_to_cart, name="cart-add"),
    path("cart/remove/<int:item_id>/", views.remove_from_cart, name="cart-remove"),
    path("checkout/", views.CheckoutView.as_view(), name="checkout"),
    path("<int:pk>/", views.order_detail, name="order-detail"),
    path("thanks/", views.thanks, name="thanks"),
]

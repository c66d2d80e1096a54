from django.contrib import admin

from .models import Coupon, Order, OrderLine, OrderNote, OrderRefund, ShippingAddress


class OrderLineInline(admin.TabularInline):
    model = OrderLine
    extra = 0
    raw_id_fields = ["book"]


class OrderNoteInline(admin.StackedInline):
    model = OrderNote
    extra = 1


class ShippingAddressInline(admin.StackedInline):
    model = ShippingAddress


@admin.register(Order)
class OrderAdmin(admin.ModelAdmin):
    list_display = ["pk", "customer", "status", "placed_at"]
    list_filter = ["status"]
    date_hierarchy = "placed_at"
    inlines = [ShippingAddressInline, OrderLineInline, OrderNoteInline]


@admin.register(Coupon)
class CouponAdmin(admin.ModelAdmin):
    list_display = ["code", "percent_off", "valid_from", "valid_until"]


@admin.register(OrderRefund)
class OrderRefundAdmin(admin.ModelAdmin):
    list_display = ["order", "amount", "refunded_at"]
    raw_id_fields = ["order"]

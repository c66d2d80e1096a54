"""Adds the coupon printed on the flyers for the shop's opening."""
import datetime

from django.db import migrations

WELCOME_CODE = "WELCOME10"


def add_welcome_coupon(apps, schema_editor):
    Coupon = apps.get_model("orders", "Coupon")
    Coupon.objects.create(
        code=WELCOME_CODE,
        percent_off=10,
        valid_from=datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc),
        valid_until=datetime.datetime(2024, 12, 31, tzinfo=datetime.timezone.utc),
        max_uses=500,
    )


def remove_welcome_coupon(apps, schema_editor):
    Coupon = apps.get_model("orders", "Coupon")
    Coupon.objects.filter(code=WELCOME_CODE).delete()


class Migration(migrations.Migration):

    dependencies = [
        ("orders", "0001_initial"),
    ]

    operations = [
        migrations.RunPython(add_welcome_coupon, remove_welcome_coupon),
    ]

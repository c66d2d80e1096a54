"""Seeds the genre tree that the shop's navigation is built on."""
from django.db import migrations
from django.utils.text import slugify

from catalog.models import Genre

GENRES = {
    "Fiction": ["Crime", "Fantasy", "Historical fiction", "Science fiction"],
    "Non-fiction": ["Biography", "History", "Science", "Travel"],
    "Children's": ["Picture books", "Young adult"],
}


def load_genres(apps, schema_editor):
    for name, children in GENRES.items():
        parent = Genre.objects.create(name=name, slug=slugify(name))
        for child in children:
            Genre.objects.create(name=child, slug=slugify(child), parent=parent)


class Migration(migrations.Migration):

    dependencies = [
        ("catalog", "0001_initial"),
    ]

    operations = [
        migrations.RunPython(load_genres),
    ]

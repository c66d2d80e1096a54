from .models import Cart


def cart(request):
    """Put the visitor's cart, if they have one, into every template's context."""
    if not request.session.session_key:
        return {"cart": None}
    return {"cart": Cart.objects.filter(session_key=request.session.session_key).first()}

// Confirm before a book is taken out of the cart.
document.querySelectorAll("form[action*='/cart/remove/']").forEach(function (form) {
  form.addEventListener("submit", function (event) {
    if (!window.confirm("Remove this book from your cart?")) {
      event.preventDefault();
    }
  });
});

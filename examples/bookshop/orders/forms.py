from django import forms


class CheckoutForm(forms.Form):
    email = forms.EmailField()
    name = forms.CharField(max_length=200)
    line1 = forms.CharField(max_length=200, label="Address")
    line2 = forms.CharField(max_length=200, required=False, label="")
    city = forms.CharField(max_length=100)
    postcode = forms.CharField(max_length=16)
    country = forms.CharField(max_length=2, initial="GB")

    def address_fields(self):
        fields = ["name", "line1", "line2", "city", "postcode", "country"]
        return {field: self.cleaned_data[field] for field in fields}

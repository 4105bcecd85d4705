# URL routes of the vorn site.
from django.urls import path

from vorn import views

urlpatterns = [
    path("", views.index, name="index"),
    path("health", views.health, name="health"),
    path("async", views.async_view, name="async"),
]

# Django 3.2 settings for vorn: a database-free site served through the native vorn.asgi module.
import os

# Development-only fallback; set VORN_SECRET_KEY for anything reachable beyond loopback.
_DEV_SECRET_KEY = "vorn-insecure-development-key-do-not-use-in-production"
SECRET_KEY = os.environ.get("VORN_SECRET_KEY") or _DEV_SECRET_KEY

# Off unless asked for, so a forgotten variable never exposes debug pages.
DEBUG = os.environ.get("VORN_DEBUG", "").strip().lower() in {"1", "true", "yes", "on"}

# The project only ever serves loopback.
ALLOWED_HOSTS = ["127.0.0.1", "localhost", "[::1]"]

ROOT_URLCONF = "vorn.urls"

# No models, no database: auth, sessions, admin and contenttypes would all need one.
INSTALLED_APPS = []
DATABASES = {}

MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.middleware.common.CommonMiddleware",
    # Cookie-based, so it needs no database; guards any form added later.
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]

# Pages are built in views; the engine is here for Django's own error pages and future templates.
TEMPLATES = [
    {
        "BACKEND": "django.template.backends.django.DjangoTemplates",
        "DIRS": [],
        "APP_DIRS": False,
        "OPTIONS": {"context_processors": []},
    },
]

LANGUAGE_CODE = "en-us"
TIME_ZONE = "UTC"
USE_I18N = False
USE_L10N = False
USE_TZ = True

# Explicit so Django 3.2 does not warn once models appear.
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"

# Views of the vorn site: a front page, a JSON health check and one async view.
import asyncio
import platform
import sys

import django
from django.http import HttpResponse, HttpResponseNotAllowed, JsonResponse
from django.views.decorators.http import require_safe

_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>vorn</title>
</head>
<body>
<h1>vorn</h1>
<p>This page is served by Django {django} on Python {python} through vorn.asgi.</p>
<ul>
<li><a href="/health">/health</a> &mdash; JSON health check</li>
<li><a href="/async">/async</a> &mdash; an async view</li>
</ul>
</body>
</html>
"""


def _asgi_module_file():
    # Imported on demand: importing vorn.asgi builds the ASGI application, a side effect
    # that merely loading these views elsewhere should not have.
    import vorn.asgi

    return vorn.asgi.__file__


@require_safe
def index(request):
    return HttpResponse(
        _PAGE.format(django=django.get_version(), python=platform.python_version()),
        content_type="text/html; charset=utf-8",
    )


@require_safe
def health(request):
    module_file = _asgi_module_file()
    return JsonResponse(
        {
            "status": "ok",
            "python": platform.python_version(),
            "python_executable": sys.executable,
            "django": django.get_version(),
            "asgi_module": module_file,
            # A .py file here would mean a pure-Python stand-in, not the extension.
            "native": not module_file.endswith(".py"),
        }
    )


# Django 3.2's method decorators wrap views in sync functions, which would hide the
# coroutine from the handler, so the method check is done by hand here.
async def async_view(request):
    if request.method not in ("GET", "HEAD"):
        return HttpResponseNotAllowed(["GET", "HEAD"])
    # Yield to the event loop once so the view really runs as a coroutine.
    await asyncio.sleep(0)
    return JsonResponse({"async": True})

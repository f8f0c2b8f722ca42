"""A Django project in one file with vorn's limits on its views, served by
gunicorn with four workers that share one count per client in the zone "shop":
    VORN_PYTHON_PATH=build/python PYTHONPATH=.:examples gunicorn -w 4 django_limits

- every view without a limit of its own: 200 an hour per client, together;
- POST /login: 5 a minute per client, counting only failed logins;
- GET /api/items: 100 a minute per API user (the X-Api-User header here;
  request.user in a project with django.contrib.auth), else per client;
- /health: never limited.
A refusal is the JSON too_many makes, with RateLimit and Retry-After.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

import django  # noqa: E402
from django.conf import settings  # noqa: E402

settings.configure(
    ROOT_URLCONF=__name__, ALLOWED_HOSTS=["*"], SECRET_KEY="change me",
    MIDDLEWARE=["django.middleware.common.CommonMiddleware", "vorn.django.RateLimitMiddleware"],
    VORN={"default": "200/hour", "zone": "shop", "on_refused": __name__ + ".too_many"})
django.setup()

from django.core.wsgi import get_wsgi_application  # noqa: E402
from django.http import HttpResponse, JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402
from django.views.decorators.csrf import csrf_exempt  # noqa: E402

import vorn.django  # noqa: E402


@csrf_exempt
@vorn.django.ratelimit("5/minute", count="failed")
def login(request):
    if request.POST.get("password") == "s3cret":
        return HttpResponse("welcome\n")
    return HttpResponse("wrong password\n", status=401)


@vorn.django.ratelimit("100/minute", key=lambda request: request.headers.get("X-Api-User"))
def items(request):
    return JsonResponse(["apple", "pear"], safe=False)


@vorn.django.exempt
def health(request):
    return HttpResponse("ok\n")


def too_many(request, refusal):
    return JsonResponse({"error": "too many requests", "limit": refusal.limit}, status=429)


urlpatterns = [path("login", login), path("api/items", items), path("health", health)]
application = get_wsgi_application()

"""framework_apps' application in Django, settings and views in one module
(gunicorn django_limits_app:application)."""
import django
from django.conf import settings

from framework_apps import API, LOGIN, OFF, OPTIONS, REFUSED, login_reached

settings.configure(
    ROOT_URLCONF=__name__, ALLOWED_HOSTS=["*"], SECRET_KEY="test only",
    MIDDLEWARE=["django.middleware.common.CommonMiddleware", "vorn.django.RateLimitMiddleware"],
    VORN=dict(OPTIONS, enabled=not OFF, on_refused=__name__ + ".too_many"))
django.setup()

from django.core.wsgi import get_wsgi_application  # noqa: E402
from django.http import HttpResponse, JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402
from django.views import View  # noqa: E402
from django.views.decorators.csrf import csrf_exempt  # noqa: E402

import vorn.django  # noqa: E402


@csrf_exempt
@vorn.django.ratelimit(LOGIN, count="failed")
def login(request):
    if login_reached(request.POST.get("password") == "right"):
        return HttpResponse("welcome\n")
    return HttpResponse("wrong password\n", status=401)


def login_help(request):
    return HttpResponse("help\n")


@vorn.django.ratelimit(API, key=lambda request: request.headers.get("X-User"))
class Items(View):
    def get(self, request):
        return JsonResponse(["a", "b"], safe=False)


@vorn.django.exempt
def health(request):
    return HttpResponse("ok\n")


def index(request):
    return HttpResponse("index\n")


def too_many(request, refusal):
    return JsonResponse(REFUSED, status=429)


urlpatterns = [path("login", login), path("login-help", login_help),
               path("api/items", Items.as_view()), path("health", health), path("", index)]
application = get_wsgi_application()

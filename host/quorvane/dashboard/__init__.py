"""The pages people open in a browser: the dashboard at ``/`` and the API docs at ``/docs`` and
``/redoc``, none of them in the OpenAPI schema.

The dashboard is a static page next to this module (no build step) whose script polls NYSE's
market status, the demo symbols' snapshots and their batch-intraday sparklines. The docs pages load
Swagger UI and ReDoc from the copies fastapi_offline ships, served by the app itself, so they work
on a machine without internet access. Every page is sent with a Content-Security-Policy that lets
it load nothing from another origin: ReDoc's sidebar would otherwise fetch its vendor's logo.
"""

from __future__ import annotations

from pathlib import Path

import fastapi_offline
from fastapi import FastAPI, Request
from fastapi.openapi.docs import get_redoc_html, get_swagger_ui_html, get_swagger_ui_oauth2_redirect_html
from fastapi.responses import FileResponse, HTMLResponse
from fastapi.staticfiles import StaticFiles

STATIC_DIR = Path(__file__).parent / "static"
DOCS_ASSETS_DIR = Path(fastapi_offline.__file__).parent / "static"
OWN_ORIGIN_ONLY = {"Content-Security-Policy": "default-src 'self' 'unsafe-inline' data: blob:"}


def install(app: FastAPI) -> None:
    """Adds the pages to `app`, which must be made with ``docs_url=None, redoc_url=None``.

    Assets are served under ``/dashboard/`` and ``/docs-assets/``.
    """
    app.mount("/dashboard", StaticFiles(directory=STATIC_DIR), name="dashboard")
    app.mount("/docs-assets", StaticFiles(directory=DOCS_ASSETS_DIR), name="docs-assets")

    redirect_url = app.swagger_ui_oauth2_redirect_url or "/docs/oauth2-redirect"

    def with_policy(response: HTMLResponse) -> HTMLResponse:
        response.headers.update(OWN_ORIGIN_ONLY)
        return response

    @app.get("/", include_in_schema=False)
    async def dashboard() -> FileResponse:
        return FileResponse(STATIC_DIR / "index.html", headers=OWN_ORIGIN_ONLY)

    @app.get("/docs", include_in_schema=False)
    async def swagger_ui(request: Request) -> HTMLResponse:
        root = request.scope.get("root_path", "")
        return with_policy(get_swagger_ui_html(
            openapi_url=root + app.openapi_url, title=f"{app.title} - Swagger UI",
            oauth2_redirect_url=root + redirect_url,
            swagger_js_url=f"{root}/docs-assets/swagger-ui-bundle.js",
            swagger_css_url=f"{root}/docs-assets/swagger-ui.css",
            swagger_favicon_url=f"{root}/docs-assets/favicon.png",
            swagger_ui_parameters=app.swagger_ui_parameters))

    @app.get(redirect_url, include_in_schema=False)
    async def swagger_ui_redirect() -> HTMLResponse:
        return with_policy(get_swagger_ui_oauth2_redirect_html())

    @app.get("/redoc", include_in_schema=False)
    async def redoc(request: Request) -> HTMLResponse:
        root = request.scope.get("root_path", "")
        return with_policy(get_redoc_html(
            openapi_url=root + app.openapi_url, title=f"{app.title} - ReDoc",
            redoc_js_url=f"{root}/docs-assets/redoc.standalone.js",
            redoc_favicon_url=f"{root}/docs-assets/favicon.png", with_google_fonts=False))

"""The dashboard at ``/``: one static page whose script polls the market-data routes.

The page, its style sheet and its script are plain files next to this module (no build step, no
file from the network); the script reads NYSE's market status, the demo symbols' snapshots and
their batch-intraday sparklines every few seconds. ``/`` stays out of the OpenAPI schema.
"""

from __future__ import annotations

from pathlib import Path

from fastapi import FastAPI
from fastapi.responses import FileResponse
from fastapi.staticfiles import StaticFiles

STATIC_DIR = Path(__file__).parent / "static"


def install(app: FastAPI) -> None:
    """Serves the page at ``/`` and its assets under ``/dashboard/``."""
    app.mount("/dashboard", StaticFiles(directory=STATIC_DIR), name="dashboard")

    @app.get("/", include_in_schema=False)
    async def dashboard() -> FileResponse:
        return FileResponse(STATIC_DIR / "index.html")

"""Billing routes — proxy to backend."""

from fastapi import APIRouter as APIRouter
from fastapi import Request as Request
from fastapi.responses import JSONResponse as JSONResponse
from fastapi.responses import Response as Response

router: APIRouter
# $QUORVANE_BACKEND_URL at import, else http://127.0.0.1:8000
BACKEND_URL: str

# The backend's answer as a Response, or a JSONResponse with status 504 or 503 when the backend
# timed out or could not be reached.
async def proxy_billing(request: Request) -> Response: ...

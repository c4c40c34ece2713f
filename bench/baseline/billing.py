"""The billing proxy route, as plain Python.

The same module body and logic as the native quorvane.server.routes.billing: the router with the
tag "billing", `BACKEND_URL` read at import, `proxy_billing` under its five `api_route`
decorators, the client's header lines forwarded one by one but the hop-by-hop ones, every value
of repeated query keys forwarded, one TLS context for every client, the backend's decoded-body
headers dropped, and each set-cookie field passed back as its own header line.
"""
import functools
import os

import httpx
from fastapi import APIRouter, Request
from fastapi.responses import JSONResponse, Response

router = APIRouter(tags=["billing"])

BACKEND_URL = os.environ.get("QUORVANE_BACKEND_URL", "http://127.0.0.1:8000")

# httpx hands back the decoded body: these would describe one the client does not get
_DROPPED = ("content-length", "content-encoding", "transfer-encoding", "connection")
# the client's lines that stay behind: its hop-by-hop headers, what httpx sets itself, our key
_KEPT_BACK = ("host", "content-length", "x-api-key", "connection", "keep-alive", "proxy-connection", "te",
              "trailer", "transfer-encoding", "upgrade")


@functools.cache
def _tls_context():
    """httpx's default TLS context, made once: each new client would load the CA bundle again."""
    return httpx.create_ssl_context()


def _passed_back(resp):
    response = Response(content=resp.content, status_code=resp.status_code)
    headers = resp.headers
    encoding = headers.encoding
    for name in headers.keys():
        if name in _DROPPED:
            continue
        line_name = name.encode(encoding)
        if name != "set-cookie":
            response.raw_headers.append((line_name, headers[name].encode(encoding)))
            continue
        for value in headers.get_list(name):
            response.raw_headers.append((line_name, value.encode(encoding)))
    return response


@router.api_route("/api/v1/user/usage", methods=["GET"])
@router.api_route("/api/v1/billing/usage", methods=["GET"])
@router.api_route("/api/v1/billing/wallet", methods=["GET"])
@router.api_route("/api/v1/billing/ledger", methods=["GET"])
@router.api_route("/api/v1/billing/charge", methods=["POST"])
async def proxy_billing(request: Request):
    target = f"{BACKEND_URL}{request.url.path}"
    key = os.environ.get("QUORVANE_API_KEY", "")
    lines = request.headers.items()
    named = {token.strip().lower() for name, value in lines if name.lower() == "connection"
             for token in value.split(",")}
    headers = [(name, value if value.isascii() else value.encode("latin-1")) for name, value in lines
               if name.lower() not in _KEPT_BACK and name.lower() not in named]
    headers.append(("x-api-key", key))
    timeout = float(os.environ.get("QUORVANE_PROXY_TIMEOUT", "30"))
    async with httpx.AsyncClient(timeout=httpx.Timeout(timeout), verify=_tls_context()) as client:
        try:
            resp = await client.request(method=request.method, url=target, headers=headers,
                                        content=await request.body(),
                                        params=request.query_params.multi_items())
        except httpx.TimeoutException:
            return JSONResponse(status_code=504, content={
                "success": False, "error": {"code": "PROXY_TIMEOUT", "message": "Backend timeout: " + target}})
        except httpx.ConnectError:
            return JSONResponse(status_code=503, content={
                "success": False, "error": {"code": "BACKEND_UNAVAILABLE", "message": "Backend unreachable: " + target}})
    return _passed_back(resp)

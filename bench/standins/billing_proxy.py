"""One billing proxy app for the load benchmark, served by uvicorn.

Usage: billing_proxy.py native|python --host HOST --port PORT   (QUORVANE_BACKEND_URL names the backend)
The app includes only the billing router: the native module's, or bench/baseline/billing.py's.
"""
import argparse
import sys
from pathlib import Path

import uvicorn
from fastapi import FastAPI

parser = argparse.ArgumentParser()
parser.add_argument("side", choices=["native", "python"])
parser.add_argument("--host", required=True)
parser.add_argument("--port", type=int, required=True)
args = parser.parse_args()
if args.side == "native":
    from quorvane.server.routes import billing
else:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from baseline import billing

app = FastAPI()
app.include_router(billing.router)
uvicorn.run(app, host=args.host, port=args.port, log_level="error", access_log=False, backlog=4096)

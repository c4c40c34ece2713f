"""One billing proxy app for the load benchmark, served by uvicorn on 127.0.0.1.

Usage: billing_proxy.py native|python PORT   (QUORVANE_BACKEND_URL names the backend)
The app includes only the billing router: the native module's, or bench/baseline/billing.py's.
"""
import sys
from pathlib import Path

import uvicorn
from fastapi import FastAPI

which, port = sys.argv[1], int(sys.argv[2])
if which == "native":
    from quorvane.server.routes import billing
else:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from baseline import billing

app = FastAPI()
app.include_router(billing.router)
uvicorn.run(app, host="127.0.0.1", port=port, log_level="error", access_log=False, backlog=4096)

// quorvane.server.routes.health: the module body, in the order it binds its globals.
#include "routes.hpp"

using namespace frame;

FRAME_MODULE(health, "quorvane.server.routes.health", "Health, info, snapshots, market-status, batch-intraday routes.") {
    m.import("asyncio");
    m.import("datetime");
    m.import("os");
    m.from_import("typing", "Any");
    m.import("pandas", "pd");
    m.from_import("fastapi", "APIRouter");
    m.from_import("fastapi", "Request");
    m.from_import("fastapi.responses", "JSONResponse");
    m.from_import("loguru", "logger");
    m.from_import("pydantic", "BaseModel");
    m.from_import("quorvane", "__version__");
    m.from_import("quorvane.data.loader", "_get_cache");
    m.from_import("quorvane.data.loader", "get_bars");
    m.from_import("quorvane.server.kline_cache", "KlineCache");
    m.from_import("quorvane.server.kline_cache", "_as_datetime");

    m.set("router", G("APIRouter"_id)(kw("tags"_id, list_of("health"_id))));

    m.route<&health::health>("get", "/api/v1/health", "health", {{"request", "Request", G("Request"_id)}});
    m.route<&health::info>("get", "/api/v1/info", "info");
    m.route<&health::market_status>("get", "/api/v1/market-status", "market_status",
                                    {{"request", "Request", G("Request"_id)},
                                     {"exchange", "str", reinterpret_cast<PyObject*>(&PyUnicode_Type), str("NYSE")}});
    m.route<&health::snapshots>("get", "/api/v1/snapshots", "snapshots",
                                {{"request", "Request", G("Request"_id)},
                                 {"symbols", "str", reinterpret_cast<PyObject*>(&PyUnicode_Type), str("")}});

    ClassDef request_model("BatchIntradayRequest", {G("BaseModel"_id)});
    request_model.set("__annotations__", dict_of("symbols"_id, "list[str]"_id));
    request_model.create();

    m.def<&health::store_and_slim>(
        "_store_and_slim", {"cache", "sym", "bar_dicts"},
        "Persist full bar dicts (incl. pre/post-market, so extended-hours\n"
        "    indicators can be computed later) and return the RTH-only slim\n"
        "    sparkline payload. Blocking (diskcache write + dict building) — call\n"
        "    via asyncio.to_thread.");
    m.def<&health::process_ibkr_bars>(
        "_process_ibkr_bars", {"cache", "sym", "bars"},
        "Blocking pandas normalization of IBKR historical bars — runs in a\n"
        "    worker thread so 20 symbols x ~1300 bars don't stall the event loop.");
    m.def<&health::process_yf_hist>("_process_yf_hist", {"cache", "sym", "hist"},
                                    "Blocking pandas normalization of a yfinance 1m history frame.");

    m.route<&health::batch_intraday>("post", "/api/v1/batch-intraday", "batch_intraday",
                                     {{"request", "Request", G("Request"_id)},
                                      {"req", "BatchIntradayRequest", G("BatchIntradayRequest"_id)}});
}

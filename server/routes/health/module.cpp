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

    Ref tags = new_list();
    list_append(tags, "health"_id);
    m.set("router", G("APIRouter"_id)(kw("tags"_id, tags)));

    m.route<&health::health>("get", "/api/v1/health", "health", {{"request", "Request", G("Request"_id)}});
    m.route<&health::info>("get", "/api/v1/info", "info");

    ClassDef request_model("BatchIntradayRequest", {G("BaseModel"_id)});
    request_model.set("__annotations__", dict_of("symbols"_id, "list[str]"_id));
    request_model.create();
}

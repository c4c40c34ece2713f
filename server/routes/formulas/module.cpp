// quorvane.server.routes.formulas: the module body, in the order it binds its globals.
#include "routes.hpp"

using namespace frame;

FRAME_MODULE(formulas, "quorvane.server.routes.formulas", "Formula management routes — /api/v1/formulas/*.") {
    m.import("asyncio");
    m.import("inspect");
    m.import("re");
    m.import("time");
    m.from_import("fastapi", "APIRouter");
    m.from_import("fastapi", "Query");
    m.from_import("fastapi", "Request");
    m.from_import("quorvane.tinyalgo", "Bar");

    m.set("router", G("APIRouter"_id)(kw("tags"_id, list_of("formulas"_id))));
    m.set("_BATCH_TTL", num(5.0));
    m.set("_batch_cache", new_dict());

    m.def<&formulas::compute_indicators>(
        "_compute_indicators", {"bars", "ind"},
        "Replay every requested indicator over *bars* (pure CPU, off the event loop).");
    m.def<&formulas::parse_ind>("_parse_ind", {"spec"},
                                "Parse 'NAME' or 'NAME(p1,p2,...)' into (upper_name, params_tuple).");
    m.def<&formulas::supports_emit>("_supports_emit", {"fn"});
    m.def<&formulas::is_stock_symbol>("_is_stock_symbol", {"symbol"},
                                      "Resolve a symbol to its contract secType — True only for stocks and\n"
                                      "    ETFs (secType STK), never options, futures, indices, forex, crypto,\n"
                                      "    bonds, CFDs or combos.");
    m.def<&formulas::snapshot_series>("_snapshot_series", {"fn", "bars", "params"},
                                      "Legacy fallback: prefix-replay a snapshot formula into a line series.");
    m.def<&formulas::normalize_plots>("_normalize_plots", {"result"});

    Obj str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Obj int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    Ref list_of_str = Obj(reinterpret_cast<PyObject*>(&PyList_Type)).item(str_type.get());
    m.route<&formulas::formula_batch>("get", "/api/v1/formulas/batch", "formula_batch",
                                      {{"request", "Request", G("Request"_id)},
                                       {"symbol", "str", str_type},
                                       {"period", "str", str_type, str("day")},
                                       {"count", "int", int_type, num(250)},
                                       {"ind", "list[str]", list_of_str, G("Query"_id)()},
                                       {"since", "int", int_type, num(0)}});
    m.route<&formulas::list_formulas>("get", "/api/v1/formulas", "list_formulas",
                                      {{"request", "Request", G("Request"_id)}});
    m.route<&formulas::reload_formulas>("post", "/api/v1/formulas/reload", "reload_formulas",
                                        {{"request", "Request", G("Request"_id)}});
    m.route<&formulas::remove_formula>("delete", "/api/v1/formulas/{name}", "remove_formula",
                                       {{"request", "Request", G("Request"_id)}, {"name", "str", str_type}});
}

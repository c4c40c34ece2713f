// GET /api/v1/health and GET /api/v1/info: cheap service status.
#include "routes.hpp"

namespace health {

Co health(Obj request) {
    Ref ib_connected = boolean(false);
    Ref account_id(none());
    Ref state = request.attr("app"_id).attr("state"_id);
    Ref icli = state.attr_or_none("icli_app"_id);
    if (truthy(icli)) {
        // a terminal app whose connection state cannot be read counts as not connected
        ib_connected = try_except([&] { return icli.attr("connected"_id); }, [](const PyError&) { return boolean(false); });
        account_id = icli.attr_or_none("accountId"_id);
    }
    Ref sentry = state.attr_or_none("lagsentry"_id);
    Ref flusher = state.attr_or_none("live_flusher"_id);
    Ref version = G("__version__"_id);
    Ref loop_lag = truthy(sentry) ? sentry.method("snapshot"_id) : Ref(none());
    Ref flusher_stats = truthy(flusher) ? flusher.attr("stats"_id) : Ref(none());
    co_return dict_of("status"_id, "ok"_id, "service"_id, "quorvane"_id, "version"_id, version, "ib_connected"_id,
                      ib_connected, "account_id"_id, account_id, "loop_lag"_id, loop_lag, "live_bar_flusher"_id,
                      flusher_stats);
}

Co info() {
    co_return dict_of("name"_id, "Quorvane"_id, "version"_id, G("__version__"_id), "docs"_id,
                      "https://github.com/quorvane/quorvane#readme"_id);
}

}  // namespace health

// quorvane.server.lagsentry: the event-loop lag monitor.
#include "frame/frame.hpp"

using namespace frame;

namespace {

// def __init__(self, interval: float | None = None, warn_ms: float | None = None) -> None
void LagSentry_init(Obj self, Opt<Float> interval, Opt<Float> warn_ms) {
    Ref environ = G("os"_id).attr("environ"_id);
    Ref env_interval = environ.method("get"_id, "QUORVANE_LAGSENTRY_SEC"_id);
    // an explicit argument wins; an empty variable counts as unset
    Ref chosen = !interval.is_none() ? Ref(interval) : truthy(env_interval) ? env_interval : G("DEFAULT_INTERVAL_SEC"_id);
    self.setattr("interval"_id, float_of(chosen).get());

    Ref env_warn = environ.method("get"_id, "QUORVANE_LOOP_WARN_MS"_id);
    chosen = !warn_ms.is_none() ? Ref(warn_ms) : truthy(env_warn) ? env_warn : num(250);
    self.setattr("warn_ms"_id, float_of(chosen).get());

    self.setattr("lag_ms"_id, num(0.0).get());
    self.setattr("max_lag_ms"_id, num(0.0).get());
}

// async def run(self) -> None: sleeps `interval` forever and records how late each wake-up is.
Co LagSentry_run(Obj self) {
    Held loop = G("asyncio"_id).method("get_running_loop"_id);
    for (;;) {
        double t0 = as_double(loop.method("time"_id));
        Ref sleeping = G("asyncio"_id).attr("sleep"_id)(self.attr("interval"_id));
        Ref slept = co_await awaitable(std::move(sleeping));
        // (loop.time() - t0 - self.interval) * 1000, read in that order; interval is read again:
        // it may have been changed while we slept
        double now = as_double(loop.method("time"_id));
        double lag = (now - t0 - as_double(self.attr("interval"_id))) * 1000;
        self.setattr("lag_ms"_id, num(lag > 0.0 ? lag : 0.0).get());
        if (lag > as_double(self.attr("max_lag_ms"_id))) self.setattr("max_lag_ms"_id, self.attr("lag_ms"_id).get());
        double lag_ms = as_double(self.attr("lag_ms"_id));
        if (lag_ms >= as_double(self.attr("warn_ms"_id))) {
            Ref shown = self.attr("lag_ms"_id), peak = self.attr("max_lag_ms"_id);
            log("warning"_id, "event loop lag {:.0f}ms (max {:.0f}ms) — something is blocking the loop"_id, shown, peak);
        }
    }
}

// def snapshot(self) -> dict[str, float]
Ref LagSentry_snapshot(Obj self) {
    // each value read and rounded in the order written
    Ref lag_ms = round_to(self.attr("lag_ms"_id), 1);
    Ref max_lag_ms = round_to(self.attr("max_lag_ms"_id), 1);
    return dict_of("lag_ms"_id, lag_ms, "max_lag_ms"_id, max_lag_ms);
}

}  // namespace

FRAME_MODULE(lagsentry, "quorvane.server.lagsentry",
             "Event-loop scheduling-lag watchdog.\n"
             "\n"
             "Measures how late a periodic timer actually fires: it is scheduled every second, and the\n"
             "actual minus the expected wake-up time is recorded as lag_ms. Sustained lag means something\n"
             "is blocking the loop (synchronous disk I/O, heavy CPU), the failure mode that silently\n"
             "starves HTTP and WebSocket broadcasts during bursts of market ticks.\n"
             "\n"
             "The value is exposed on app.state.lagsentry and surfaced by /api/v1/health, so a page that\n"
             "stops updating can be triaged in seconds without a native stack sample.\n") {
    m.import("asyncio");
    m.import("os");
    m.from_import("loguru", "logger");
    m.set("DEFAULT_INTERVAL_SEC", num(1.0));

    ClassDef cls("LagSentry");
    cls.method<&LagSentry_init>("__init__",
                                {"self", {"interval", none(), "float | None"}, {"warn_ms", none(), "float | None"}},
                                "None");
    cls.method<&LagSentry_run>("run", {"self"}, "None");
    cls.method<&LagSentry_snapshot>("snapshot", {"self"}, "dict[str, float]");
    cls.create();
}

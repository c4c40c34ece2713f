// quorvane.brokers.qmt.termhost: the terminal app of the QMT broker mode. It stands where the
// host keeps its IB terminal app, follows the strategy runner's connection, and keeps the
// account's asset snapshot: polled from the QMT bridge, pushed by its trade WebSocket, and
// broadcast to the streamer's clients.
#include "frame/frame.hpp"

using namespace frame;

namespace {

// _account_poll_loop's variables, which its _ws_listen closes over
using PollLoop = Vars<"QMTTermhost._account_poll_loop", "self", "streamer", "ws_url">;

void Termhost_init(Obj self) {
    self.setattr("accountId"_id, "_qmt_"_id);
    self.setattr("streamer"_id, Py_None);
    self.setattr("_runner"_id, Py_None);
    self.setattr("quoteState"_id, new_dict().get());
    self.setattr("accountStatus"_id, new_dict().get());
    self.setattr("pnlSingle"_id, new_dict().get());
    self.setattr("_poll_task"_id, Py_None);
    self.setattr("dispatch"_id, G("Dispatch"_id)().get());
    self.setattr("opstate"_id, self.get());
}

Ref Termhost_connected(Obj self) {
    Ref runner = self.attr("_runner"_id);
    if (runner.is_none()) return boolean(false);
    return runner.attr("is_connected"_id);
}

void Termhost_set_runner(Obj self, Obj runner) { self.setattr("_runner"_id, runner.get()); }

void Termhost_start_account_polling(Obj self, Obj streamer) {
    if (!self.attr("_poll_task"_id).is_none()) return;  // polling runs already
    Ref loop = self.method("_account_poll_loop"_id, streamer);
    self.setattr("_poll_task"_id, G("asyncio"_id).method("create_task"_id, loop).get());
}

Co Termhost_broadcast_asset(Obj self, Dict data, Obj streamer) {
    self.setattr("accountStatus"_id, data.get());
    Ref broadcasting = streamer.attr("manager"_id).method("broadcast_json"_id,
                                                          dict_of("type"_id, "account_snapshot"_id, "data"_id, data));
    Ref sent = co_await awaitable(std::move(broadcasting));
    Ref account = get(data, "account_id"_id);
    if (!truthy(account)) account = get(data, "accountId"_id);
    if (truthy(account)) self.setattr("accountId"_id, to_str(account).get());
    co_return none();
}

// One connection of the listener: every "asset" message whose data is an object is broadcast.
// (A dict is told by the type's flags here and in a poll, where isinstance() through the frame
// would also consult a __class__ attribute.)
Co listen_on(Obj ws, Obj self, Obj streamer, Obj json) {
    log("info"_id, "Connected to qmt-bridge trade WS"_id);
    for (;;) {
        Ref receiving = ws.method("recv"_id);
        Held text = co_await awaitable(std::move(receiving));
        Held msg = json.method("loads"_id, text);
        if (!eq(msg.method("get"_id, "type"_id), "asset"_id)) continue;
        Held data = msg.method("get"_id, "data"_id);
        if (!PyDict_Check(data.get())) continue;
        Ref broadcasting = self.method("_broadcast_asset"_id, data, streamer);
        Ref done = co_await awaitable(std::move(broadcasting));
    }
}

Co connect_and_listen(Obj websockets, Obj url, Obj self, Obj streamer, Obj json) {
    Held connection = websockets.method("connect"_id, url);
    Ref ended = co_await async_with(connection, &listen_on, self, streamer, json);
    co_return ended;
}

// _account_poll_loop.<locals>._ws_listen: the bridge's trade WebSocket, reconnected 5 s after
// anything ends a connection (a failed connect, a close, a malformed message)
Co ws_listen(PollLoop s) {
    Held json = import("json"_id);
    Held websockets = import("websockets"_id);
    Held url = s.get<"ws_url">();
    Held self = s.get<"self">();
    Held streamer = s.get<"streamer">();
    for (;;) {
        Outcome ended = co_await attempt(connect_and_listen(websockets, url, self, streamer, json));
        Ref pausing = G("asyncio"_id).method("sleep"_id, 5);
        Ref paused = co_await awaitable(std::move(pausing));
    }
}

// One poll of the bridge's assets (the guarded part of an iteration).
Co poll_once(Obj client, Obj self, Obj streamer) {
    Ref getting = client.method("get"_id, "/api/trading/asset"_id);
    Held resp = co_await awaitable(std::move(getting));
    if (truthy(resp.attr("is_success"_id))) {
        Held data = resp.method("json"_id).method("get"_id, "data"_id);
        if (!truthy(data)) data = resp.method("json"_id);
        if (!PyDict_Check(data.get())) co_return none();
        Ref broadcasting = self.method("_broadcast_asset"_id, data, streamer);
        Ref done = co_await awaitable(std::move(broadcasting));
    } else if (!eq(resp.attr("status_code"_id), 404)) {
        Ref status = resp.attr("status_code"_id);
        Ref head = slice(resp.attr("text"_id), none(), 200);
        log("warning"_id, "qmt-bridge asset poll {}: {}"_id, status, head);
    }
    co_return none();
}

// Inside the client block: poll, log what failed, wait the interval, for ever.
Co poll_forever(Obj client, Obj self, Obj streamer, Obj interval, Obj httpx) {
    for (;;) {
        Outcome polled = co_await attempt(poll_once(client, self, streamer));
        if (polled.failed()) {
            PyError e = polled.error();
            Handling handling(e);
            if (e.matches(httpx.attr("ConnectError"_id).get()))
                log("debug"_id, "qmt-bridge not reachable (account poll skipped)"_id);
            else
                log("exception"_id, "qmt account poll error"_id);
        }
        Ref pausing = G("asyncio"_id).method("sleep"_id, interval);
        Ref paused = co_await awaitable(std::move(pausing));
    }
}

Co poll_with_client(Obj httpx, Obj base_url, Obj headers, Obj self, Obj streamer, Obj interval) {
    Held client = httpx.attr("AsyncClient"_id)(kw("base_url"_id, base_url), kw("headers"_id, headers), kw("timeout"_id, 10));
    Ref ended = co_await async_with(client, &poll_forever, self, streamer, interval, httpx);
    co_return ended;
}

// finally: the listener goes with the loop that started it, so a stopped app leaves nothing running
Co cancel_task(Obj task) {
    task.method("cancel"_id);
    co_return none();
}

// The loop's configuration and its listener, started (before the first await).
struct PollSetup {
    Ref base_url, headers, interval, listener;
};

PollSetup set_up_polling(Obj self, Obj streamer) {
    Ref environ = G("os"_id).attr("environ"_id);
    Ref base_url = environ.method("get"_id, "QUORVANE_QMT_URL"_id, "http://127.0.0.1:8000"_id);
    Ref api_key = environ.method("get"_id, "QUORVANE_QMT_API_KEY"_id, ""_id);
    Ref interval = int_of(environ.method("get"_id, "QUORVANE_QMT_POLL_SECONDS"_id, "30"_id));
    Ref headers = truthy(api_key) ? dict_of("X-API-Key"_id, api_key) : new_dict();
    Ref ws_base = base_url.method("replace"_id, "http://"_id, "ws://"_id).method("replace"_id, "https://"_id, "wss://"_id);
    Ref ws_url = concat(ws_base, "/ws/trade?api_key=", api_key);

    Ref scope = PollLoop::make();
    PollLoop(scope).set<"self">(self);
    PollLoop(scope).set<"streamer">(streamer);
    PollLoop(scope).set<"ws_url">(ws_url);
    Ref listen = nested<&ws_listen>(scope, "_ws_listen");
    Ref listener = G("asyncio"_id).method("create_task"_id, listen());
    return {base_url, headers, interval, listener};
}

Co Termhost_account_poll_loop(Obj self, Obj streamer) {
    Held httpx = import("httpx"_id);
    PollSetup setup = set_up_polling(self, streamer);
    Held base_url = std::move(setup.base_url), headers = std::move(setup.headers);
    Held interval = std::move(setup.interval), listener = std::move(setup.listener);
    Ref ended = co_await try_finally(poll_with_client(httpx, base_url, headers, self, streamer, interval), cancel_task(listener));
    co_return ended;
}

void Termhost_stop(Obj self) {
    Ref task = self.attr("_poll_task"_id);
    if (truthy(task)) {
        task.method("cancel"_id);
        self.setattr("_poll_task"_id, Py_None);
    }
    self.setattr("_runner"_id, Py_None);
}

}  // namespace

FRAME_MODULE(termhost, "quorvane.brokers.qmt.termhost",
             "QMT broker app: the minimal terminal app for the `--broker qmt` mode.") {
    m.import("asyncio");
    m.import("os");
    m.from_import("typing", "TYPE_CHECKING");
    m.from_import("loguru", "logger");
    m.from_import("quorvane.brokers.qmt.live", "QMTMultiStrategyRunner");
    m.from_import("quorvane.cmds.dispatch", "Dispatch");
    // DataStreamer of quorvane.server.streamer is named for type checkers only

    ClassDef termhost("QMTTermhost");
    termhost.method<&Termhost_init>("__init__", {"self"}, "None");
    termhost.set("connected", G("property"_id)(function<&Termhost_connected>("QMTTermhost.connected", {"self"}, "bool")));
    termhost.method<&Termhost_set_runner>("set_runner", {"self", {"runner", required, "QMTMultiStrategyRunner"}}, "None");
    termhost.method<&Termhost_start_account_polling>("start_account_polling",
                                                     {"self", {"streamer", required, "DataStreamer"}}, "None");
    termhost.method<&Termhost_broadcast_asset>("_broadcast_asset",
                                               {"self", {"data", required, "dict"}, {"streamer", required, "DataStreamer"}},
                                               "None");
    termhost.method<&Termhost_account_poll_loop>("_account_poll_loop", {"self", {"streamer", required, "DataStreamer"}},
                                                 "None");
    termhost.method<&Termhost_stop>("stop", {"self"}, "None");
    termhost.create();
}

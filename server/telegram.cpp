// quorvane.server.telegram: fire-and-forget Telegram notifications through one worker thread.
#include <algorithm>
#include <vector>

#include "frame/frame.hpp"

using namespace frame;

namespace {

constexpr Py_ssize_t MAX_TEXT = 4000;

// def configure(token: str, chat_id: int) -> None
void configure(Str token, Int chat_id) {
    set_global("_TOKEN"_id, token);
    set_global("_CHAT_ID"_id, chat_id);
    bool enabled = len(token) > 0 && truthy(chat_id);
    set_global("ENABLED"_id, boolean(enabled));
    if (enabled) G("_start_worker"_id)();
}

void start_worker() {
    Ref worker = G("_worker"_id);
    if (truthy(worker) && truthy(worker.method("is_alive"_id))) return;
    Ref thread = G("threading"_id).attr("Thread"_id)(kw("target"_id, G("_run"_id)), kw("daemon"_id, true));
    set_global("_worker"_id, thread);
    thread.method("start"_id);
}

// def send(text: str) -> None: queues the message; never blocks, never touches the network.
void send(Str text) {
    if (!truthy(G("ENABLED"_id)) || len(text) == 0) return;
    Ref message(text);
    if (len(text) > MAX_TEXT) message = concat(slice(text, none(), MAX_TEXT), "...");
    G("_queue"_id).method("put_nowait"_id, message);
}

void shutdown() {
    if (!truthy(G("ENABLED"_id))) return;
    G("_queue"_id).method("put_nowait"_id, none());
}

// The bot token is part of the request URL, and httpx puts the URL into its exception texts:
// what we log must not carry it, so it is masked in the arguments of each exception of the
// chain. Masking never fails the worker: the walk is bounded and goes by identity (exceptions
// may be unhashable, or make a new context at each read), and an exception whose arguments
// cannot be rewritten keeps them.
constexpr int MAX_CHAIN = 100;

void mask_args(Obj exc, Obj token) {
    Ref masked = new_list();
    for (Ref arg : iterate(exc.attr("args"_id))) {
        // str's own replace, by the type's flags: a str subclass cannot keep the token in by
        // overriding the method or by naming another __class__
        if (PyUnicode_Check(arg.get())) list_append(masked, Ref::steal(PyUnicode_Replace(arg.get(), token.get(), "***"_id, -1)));
        else list_append(masked, arg);
    }
    exc.setattr("args"_id, tuple_from(masked).get());
}

Ref next_in_chain(Obj exc) {
    Ref cause = exc.attr("__cause__"_id);
    return cause.is_none() ? exc.attr("__context__"_id) : cause;
}

void mask_token(Obj exc, Obj token) {
    if (len(token) == 0) return;
    std::vector<Ref> seen;
    Ref current(exc);
    // (an exception by the type's flags, as the interpreter tells one it can raise)
    while (seen.size() < MAX_CHAIN && PyExceptionInstance_Check(current.get()) &&
           std::none_of(seen.begin(), seen.end(), [&](const Ref& e) { return e.is(current.get()); })) {
        seen.push_back(current);
        try_except([&] { mask_args(current, token); }, [](const PyError&) {});
        current = try_except([&] { return next_in_chain(current); }, [](const PyError&) { return Ref(none()); });
    }
}

// Posts one message: at most two attempts, honouring 429's retry_after.
void deliver(Obj client, Obj url, Obj token, Obj message) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool delivered = try_except(
            [&] {
                Ref payload = dict_of("chat_id"_id, G("_CHAT_ID"_id), "text"_id, message);
                Ref response = client.method("post"_id, url, kw("json"_id, payload));
                if (eq(response.attr("status_code"_id), 429)) {
                    Ref parameters = response.method("json"_id).method("get"_id, "parameters"_id, new_dict());
                    Ref retry_after = parameters.method("get"_id, "retry_after"_id, 1);
                    import("time"_id).method("sleep"_id, retry_after);
                    return false;
                }
                response.method("raise_for_status"_id);
                return true;
            },
            [&](const PyError& e) {
                mask_token(e.value(), token);
                if (attempt == 1) {
                    log("exception"_id, "telegram send failed"_id);
                } else {
                    log("warning"_id, "telegram send retry"_id);
                    import("time"_id).method("sleep"_id, 1);
                }
                return false;
            });
        if (delivered) return;
    }
}

// The worker thread's body: sends queued messages in order until the None sentinel.
void run() {
    Ref token = to_str(G("_TOKEN"_id));  // read once: a later configure does not change a running worker
    Ref url = concat("https://api.telegram.org/bot", token, "/sendMessage");
    Ref environ = G("os"_id).attr("environ"_id);
    Ref proxy = environ.method("get"_id, "HTTPS_PROXY"_id);
    if (!truthy(proxy)) proxy = environ.method("get"_id, "https_proxy"_id);
    if (!truthy(proxy)) proxy = none();
    Ref client = G("httpx"_id).attr("Client"_id)(kw("timeout"_id, 10.0), kw("proxy"_id, proxy));
    with(client, [&](Obj session) {
        for (;;) {
            Ref message = G("_queue"_id).method("get"_id);
            if (message.is_none()) return;
            deliver(session, url, token, message);
        }
    });
}

}  // namespace

FRAME_MODULE(telegram, "quorvane.server.telegram",
             "Telegram notification — fire-and-forget from any thread via background worker.") {
    m.import("logging");
    m.import("os");
    m.import("threading");
    m.from_import("queue", "Queue");
    m.import("httpx");
    m.set("logger", G("logging"_id).attr("getLogger"_id)(G("__name__"_id)));
    m.set("ENABLED", Py_False);
    m.set("_TOKEN", str(""));
    m.set("_CHAT_ID", num(0));
    m.set("_queue", G("Queue"_id)());
    m.set("_worker", none());
    m.def<&configure>("configure", {"token", "chat_id"});
    m.def<&start_worker>("_start_worker");
    m.def<&send>("send", {"text"});
    m.def<&shutdown>("shutdown");
    m.def<&run>("_run");
}

// quorvane.server.telegram: fire-and-forget Telegram notifications through one worker thread.
#include "frame/frame.hpp"

using namespace frame;

namespace {

constexpr Py_ssize_t MAX_TEXT = 4000;

// def configure(token: str, chat_id: int) -> None
void configure(Str token, Int chat_id) {
    set_global("_TOKEN"_id, token);
    set_global("_CHAT_ID"_id, chat_id);
    bool enabled = PyUnicode_GET_LENGTH(token.get()) > 0 && truthy(chat_id);
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
    if (!truthy(G("ENABLED"_id)) || PyUnicode_GET_LENGTH(text.get()) == 0) return;
    Ref message(text);
    if (PyUnicode_GET_LENGTH(text.get()) > MAX_TEXT) {
        Ref head = Ref::steal(PyUnicode_Substring(text.get(), 0, MAX_TEXT));
        message = Ref::steal(PyUnicode_Concat(head.get(), "..."_id));
    }
    G("_queue"_id).method("put_nowait"_id, message);
}

void shutdown() {
    if (!truthy(G("ENABLED"_id))) return;
    G("_queue"_id).method("put_nowait"_id, none());
}

// The bot token is part of the request URL, and httpx puts the URL into its exception texts:
// what we log must not carry it, so it is masked in the exception chain's arguments.
void mask_token(Obj exc, Obj token) {
    if (PyUnicode_GET_LENGTH(token.get()) == 0) return;
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref current(exc);
    while (!current.null() && !current.is_none() && !check(PySet_Contains(seen.get(), current.get()))) {
        check(PySet_Add(seen.get(), current.get()));
        Ref args = current.attr("args"_id);
        Ref masked = new_list();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
            Obj arg = PyTuple_GET_ITEM(args.get(), i);
            if (PyUnicode_Check(arg.get())) list_append(masked, Ref::steal(PyUnicode_Replace(arg.get(), token.get(), "***"_id, -1)));
            else list_append(masked, arg);
        }
        current.setattr("args"_id, Ref::steal(PyList_AsTuple(masked.get())).get());
        Ref cause = current.attr("__cause__"_id);
        current = cause.is_none() ? current.attr("__context__"_id) : cause;
    }
}

// Posts one message: at most two attempts, honouring 429's retry_after.
void deliver(Obj client, Obj url, Obj token, Obj message) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            Ref payload = dict_of("chat_id"_id, G("_CHAT_ID"_id), "text"_id, message);
            Ref response = client.method("post"_id, url, kw("json"_id, payload));
            if (eq(response.attr("status_code"_id), 429)) {
                Ref parameters = response.method("json"_id).method("get"_id, "parameters"_id, new_dict());
                Ref retry_after = parameters.method("get"_id, "retry_after"_id, 1);
                import("time"_id).method("sleep"_id, retry_after);
                continue;
            }
            response.method("raise_for_status"_id);
            return;
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            mask_token(e.value(), token);
            Handling handling(e);
            if (attempt == 1) {
                G("logger"_id).method("exception"_id, "telegram send failed"_id);
            } else {
                G("logger"_id).method("warning"_id, "telegram send retry"_id);
                import("time"_id).method("sleep"_id, 1);
            }
        }
    }
}

// The worker thread's body: sends queued messages in order until the None sentinel.
void run() {
    Ref token = to_str(G("_TOKEN"_id));  // read once: a later configure does not change a running worker
    Ref url = Ref::steal(PyUnicode_FromFormat("https://api.telegram.org/bot%U/sendMessage", token.get()));
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
    m.set("logger", G("logging"_id).method("getLogger"_id, G("__name__"_id)));
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

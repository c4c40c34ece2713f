// quorvane.server.routes.billing: billing, wallet, ledger and usage requests forwarded to the
// billing backend with the service's API key; timeouts and refused connections answered as JSON.
#include "frame/frame.hpp"

using namespace frame;

namespace {

// The backend's answer reaches the client as httpx decoded it: these would describe a body
// (length, encoding, framing) or a connection the client does not get.
bool hop_header(Obj name) {
    for (PyObject* dropped : {"content-length"_id, "content-encoding"_id, "transfer-encoding"_id, "connection"_id})
        if (eq(name, dropped)) return true;
    return false;
}

// Request lines that stay behind: the hop-by-hop headers describe the client's connection to us
// (a chunked body passed on next to the Content-Length httpx sets would give the backend two
// framings), httpx sets host and the length for its own connection, and the key is ours.
bool kept_back(Obj lower) {
    for (PyObject* name : {"host"_id, "content-length"_id, "x-api-key"_id, "connection"_id, "keep-alive"_id,
                           "proxy-connection"_id, "te"_id, "trailer"_id, "transfer-encoding"_id, "upgrade"_id})
        if (eq(lower, name)) return true;
    return false;
}

// The header names that the client's connection lines name, lower-cased: hop-by-hop as well.
Ref connection_names(Obj lines) {
    Ref named = new_set();
    for (Ref pair : iterate(lines)) {
        auto [name, value] = unpack<2>(pair);
        if (!eq(name.method("lower"_id), "connection"_id)) continue;
        for (Ref token : iterate(value.method("split"_id, ","_id))) set_add(named, token.method("strip"_id).method("lower"_id));
    }
    return named;
}

// httpx's default TLS context (what a client made without `verify` builds: certifi's bundle, or
// SSL_CERT_FILE / SSL_CERT_DIR), made once: built by every new client, it loaded the CA bundle
// again, some 20 ms of the event loop per request, even for a plain-HTTP backend. Kept for the
// process's life, so no handle is dropped after the interpreter has gone.
PyObject* tls_context = nullptr;

Obj shared_tls_context() {
    if (tls_context == nullptr) {
        Ref made = G("httpx"_id).method("create_ssl_context"_id);
        // loading the bundle lets other threads run: one of them may have made it meanwhile
        if (tls_context == nullptr) tls_context = made.release();
    }
    return tls_context;
}

Ref error_response(int status, PyObject* code, PyObject* message, Obj target) {
    Ref text = concat(message, target);
    Ref body = dict_of("success"_id, false, "error"_id, dict_of("code"_id, code, "message"_id, text));
    return G("JSONResponse"_id)(kw("status_code"_id, status), kw("content"_id, body));
}

// The backend's answer as a Response: its body, its status, and its headers as the plain dict
// the mapping gives (one line per name, a repeated field joined), in their order, except that each
// set-cookie field keeps its own line where the mapping lists them (joined, they would corrupt
// every cookie after the first). httpx's headers go out as the backend's bytes (re-encoded as httpx
// decoded them); another mapping's as Response writes a dict's, lower-case and latin-1.
Ref passed_back(Obj resp) {
    Ref make = G("Response"_id);
    Ref content = resp.attr("content"_id);
    Ref status = resp.attr("status_code"_id);
    Ref response = make(kw("content"_id, content), kw("status_code"_id, status));
    Ref raw = response.attr("raw_headers"_id);
    Ref headers = resp.attr("headers"_id);
    Ref encoding = headers.attr_or("encoding"_id, "latin-1"_id);
    Ref fields = headers.attr_or_none("get_list"_id);
    Ref plain = new_dict();
    dict_update(plain, headers);
    for (Ref pair : iterate(plain.method("items"_id))) {
        auto [field, value] = unpack<2>(pair);
        Ref name = field.method("lower"_id);
        if (hop_header(name)) continue;
        Ref line_name = name.method("encode"_id, encoding);
        if (fields.is_none() || !eq(name, "set-cookie"_id)) {
            list_append(raw, tuple_of(line_name, value.method("encode"_id, encoding)));
            continue;
        }
        for (Ref cookie : iterate(fields(field))) list_append(raw, tuple_of(line_name, cookie.method("encode"_id, encoding)));
    }
    return response;
}

// The request's own query mapping; a repeated key goes as every (key, value) pair, since httpx
// reads a mapping's items and would send the last value only.
Ref query_of(Obj request) {
    Ref params = request.attr("query_params"_id);
    Ref pairs = params.method("multi_items"_id);
    return len(pairs) != len(params) ? pairs : params;
}

// Every line of the client's but those kept back as its own field, in its order (a repeated
// header keeps each value), as the framework gives it, then our key; httpx sends text values as
// ASCII only, so another value goes as the bytes the framework decoded it from.
Ref forwarded_headers(Obj lines, Obj key) {
    Ref named = connection_names(lines);
    Ref headers = new_list();
    for (Ref pair : iterate(lines)) {
        auto [name, value] = unpack<2>(pair);
        Ref lower = name.method("lower"_id);
        if (kept_back(lower) || contains(named, lower)) continue;
        Ref sent = value;
        if (!truthy(value.method("isascii"_id))) sent = value.method("encode"_id, "latin-1"_id);
        list_append(headers, tuple_of(name, sent));
    }
    list_append(headers, tuple_of("x-api-key"_id, key));
    return headers;
}

// The request as the backend gets it, inside the client block; a timeout or a refused
// connection becomes its JSON error.
Co forward(Obj client, Obj request, Obj target, Obj headers) {
    Held send = client.attr("request"_id);
    Held method = request.attr("method"_id);
    Ref reading = request.method("body"_id);
    Held body = co_await awaitable(std::move(reading));
    Ref sending = send(kw("method"_id, method), kw("url"_id, target), kw("headers"_id, headers),
                       kw("content"_id, body), kw("params"_id, query_of(request)));
    Ref resp = co_await awaitable(std::move(sending));
    co_return resp;
}

Co send_through(Obj client, Obj request, Obj target, Obj headers) {
    Outcome sent = co_await attempt(forward(client, request, target, headers));
    if (!sent.failed()) co_return sent.value();
    PyError e = sent.error();
    Ref httpx = G("httpx"_id);
    if (e.matches(httpx.attr("TimeoutException"_id).get()))
        co_return error_response(504, "PROXY_TIMEOUT"_id, "Backend timeout: "_id, target);
    if (e.matches(httpx.attr("ConnectError"_id).get()))
        co_return error_response(503, "BACKEND_UNAVAILABLE"_id, "Backend unreachable: "_id, target);
    throw e;
}

Co proxy_billing(Obj request) {
    Held target;
    {
        Ref base = to_str(G("BACKEND_URL"_id));
        Ref path = to_str(request.attr("url"_id).attr("path"_id));
        target = concat(base, path);
    }
    Held headers;
    Held client;
    {
        Ref environ = G("os"_id).attr("environ"_id);
        Ref key = environ.method("get"_id, "QUORVANE_API_KEY"_id, ""_id);
        headers = forwarded_headers(request.attr("headers"_id).method("items"_id), key);
        Ref timeout = float_of(environ.method("get"_id, "QUORVANE_PROXY_TIMEOUT"_id, "30"_id));
        Ref httpx = G("httpx"_id);
        Ref make = httpx.attr("AsyncClient"_id);
        Ref limit = httpx.attr("Timeout"_id)(timeout);
        client = make(kw("timeout"_id, limit), kw("verify"_id, shared_tls_context()));
    }
    Held resp = co_await async_with(client, &send_through, request, target, headers);
    // a JSON error was made inside the block; an answer is passed back after it
    if (isinstance(resp, G("Response"_id))) co_return resp;
    co_return passed_back(resp);
}

}  // namespace

FRAME_MODULE(billing, "quorvane.server.routes.billing", "Billing routes — proxy to backend.") {
    m.import("os");
    m.import("httpx");
    m.from_import("fastapi", "APIRouter");
    m.from_import("fastapi", "Request");
    m.from_import("fastapi.responses", "JSONResponse");
    m.from_import("fastapi.responses", "Response");
    m.set("router", G("APIRouter"_id)(kw("tags"_id, list_of("billing"_id))));
    m.set("BACKEND_URL", G("os"_id).attr("environ"_id).method("get"_id, "QUORVANE_BACKEND_URL"_id, "http://127.0.0.1:8000"_id));

    // five decorators on one function, applied from the bottom up as they are written:
    // /api/v1/user/usage (GET) outermost ... /api/v1/billing/charge (POST) innermost
    Ref proxy = m.route_function<&proxy_billing>("proxy_billing", {{"request", "Request", G("Request"_id)}});
    const char* const routes[][2] = {{"/api/v1/billing/charge", "POST"}, {"/api/v1/billing/ledger", "GET"},
                                     {"/api/v1/billing/wallet", "GET"}, {"/api/v1/billing/usage", "GET"},
                                     {"/api/v1/user/usage", "GET"}};
    for (const auto& [path, method] : routes)
        proxy = G("router"_id).method("api_route"_id, path, kw("methods"_id, list_of(method)))(proxy);
    m.set("proxy_billing", proxy);
}

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

Ref error_response(int status, PyObject* code, PyObject* message, Obj target) {
    Ref text = Ref::steal(PyUnicode_Concat(message, target.get()));
    Ref body = dict_of("success"_id, false, "error"_id, dict_of("code"_id, code, "message"_id, text));
    return G("JSONResponse"_id)(kw("status_code"_id, status), kw("content"_id, body));
}

// The backend's answer as a Response: its body, its status, and its headers as the plain dict
// the mapping gives (one line per name, a repeated field joined), in their order, except that each
// set-cookie field keeps its own line where the mapping lists them (joined, they would corrupt
// every cookie after the first). httpx's headers go out as the backend's bytes (re-encoded as httpx
// decoded them); another mapping's as Response writes a dict's, lower-case and latin-1.
Ref passed_back(Obj resp) {
    Ref response = G("Response"_id)(kw("content"_id, resp.attr("content"_id)), kw("status_code"_id, resp.attr("status_code"_id)));
    Ref raw = response.attr("raw_headers"_id);
    Ref headers = resp.attr("headers"_id);
    Ref encoding = headers.attr_or("encoding"_id, "latin-1"_id);
    Ref fields = headers.attr_or_none("get_list"_id);
    Ref plain = new_dict();
    check(PyDict_Merge(plain.get(), headers.get(), 1));
    for_each(plain.method("items"_id), [&](Obj pair) {
        auto name_value = unpack<2>(pair);
        Ref name = name_value[0].method("lower"_id);
        if (hop_header(name)) return;
        Ref line_name = name.method("encode"_id, encoding);
        if (fields.is_none() || !eq(name, "set-cookie"_id)) {
            list_append(raw, tuple_of(line_name, Ref(name_value[1].method("encode"_id, encoding))));
            return;
        }
        for_each(fields(name_value[0]), [&](Obj value) {
            list_append(raw, tuple_of(line_name, Ref(value.method("encode"_id, encoding))));
        });
    });
    return response;
}

// The request as the backend gets it, inside the client block; a timeout or a refused
// connection becomes its JSON error.
Co forward(Obj client, Obj request, Obj target, Obj headers) {
    Held method = request.attr("method"_id);
    Ref reading = request.method("body"_id);
    Held body = co_await awaitable(std::move(reading));
    // the request's own query mapping; a repeated key goes as every (key, value) pair, since
    // httpx reads a mapping's items and would send the last value only
    Ref params = request.attr("query_params"_id);
    Ref pairs = params.method("multi_items"_id);
    if (len(pairs) != len(params)) params = std::move(pairs);
    Ref sending = client.method("request"_id, kw("method"_id, method), kw("url"_id, target),
                                kw("headers"_id, headers), kw("content"_id, body), kw("params"_id, params));
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
    Held target = Ref::steal(PyUnicode_Concat(to_str(G("BACKEND_URL"_id)).get(), to_str(request.attr("url"_id).attr("path"_id)).get()));
    Held headers = new_dict();
    Held client;
    {
        Ref environ = G("os"_id).attr("environ"_id);
        Ref key = environ.method("get"_id, "QUORVANE_API_KEY"_id, ""_id);
        // the client's headers but the hop's own, as the framework gives them; httpx sends text
        // values as ASCII only, so another value goes as the bytes the framework decoded it from
        for_each(request.attr("headers"_id).method("items"_id), [&](Obj pair) {
            auto name_value = unpack<2>(pair);
            Ref lower = name_value[0].method("lower"_id);
            if (eq(lower, "host"_id) || eq(lower, "content-length"_id)) return;
            Ref value = name_value[1];
            if (!truthy(value.method("isascii"_id))) value = value.method("encode"_id, "latin-1"_id);
            headers.setitem(name_value[0].get(), value.get());
        });
        headers.setitem("x-api-key"_id, key.get());
        Ref timeout = float_of(environ.method("get"_id, "QUORVANE_PROXY_TIMEOUT"_id, "30"_id));
        Ref httpx = G("httpx"_id);
        client = httpx.attr("AsyncClient"_id)(kw("timeout"_id, httpx.attr("Timeout"_id)(timeout)));
    }
    Held resp = co_await async_with(client, &send_through, request, target, headers);
    // a JSON error was made inside the block; an answer is passed back after it
    if (check(PyObject_IsInstance(resp.get(), G("Response"_id).get())) != 0) co_return resp;
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

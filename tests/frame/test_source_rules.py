"""Source rules a compiler cannot check: no coroutine body keeps an owning reference that the
garbage collector cannot see (a Ref local) across a co_await."""
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import coroutine_locals as rules  # noqa: E402

KEPT = """
Co body(Obj request) {
    Held kept = request.attr("a"_id);
    if (truthy(kept)) {
        Ref gather = G("asyncio"_id).attr("gather"_id);   // 5
        Ref pending = gather(kept);
        Ref quotes = co_await awaitable(std::move(pending));
    }
    Ref params = request.attr("b"_id);                    // 9
    Ref pairs = params.method("c"_id);                    // 10
    if (len(pairs) != len(params)) params = std::move(pairs);
    Ref sending = request.method("d"_id, params);
    Ref sent = co_await awaitable(std::move(sending));    // 13
    for (Ref row : iterate(sent)) {                       // 14
        Ref waiting = row.method("e"_id);
        Held waited = co_await awaitable(std::move(waiting));
    }
    auto [a, b] = unpack<2>(sent);                        // 18
    Ref next = co_await awaitable(a);
    for (Held row : iterate(sent))                        // 20
        Held waited = co_await awaitable(row.method("e"_id));
    co_return none();
}
"""
CLEAN = """
Co body(Obj request) {
    Held kept = request.attr("a"_id);
    Ref pending;
    {
        Ref gather = G("asyncio"_id).attr("gather"_id);
        pending = gather(kept);
    }
    Held quotes = co_await awaitable(std::move(pending));
    Ref sending = Ref::steal(request.method("d"_id, quotes).release());
    Ref sent = co_await awaitable(std::move(sending));
    co_return sent;
}
"""


@pytest.mark.parametrize("source, lines", [(KEPT, [5, 9, 10, 13, 14, 14, 18, 18, 19, 20]), (CLEAN, [])], ids=["kept", "clean"])
def test_owning_locals_across_an_await_are_found(source, lines):
    found = rules.scan(source, "body.cpp")
    assert [int(f.split(":")[1]) for f in found] == lines
    assert all(f.startswith("body.cpp:") and "co_await at line" in f for f in found)


def test_no_coroutine_body_keeps_a_ref_across_an_await():
    assert rules.main([str(ROOT / d) for d in ("frame", "server", "brokers")]) == 0

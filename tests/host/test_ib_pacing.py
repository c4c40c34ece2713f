"""The IB session's paced socket reading (quorvane.ib.pacing): whole messages in arrival order, at
most TURN_BYTES of them per event-loop turn, what is pending delivered before a loss."""
import asyncio
import struct

import pytest
from ibsim import ib_client
from test_ib_sim import STILL, as_dicts, day_bars, qualified, run

from quorvane.ib.pacing import TURN_BYTES, PacedConnection, PacedIB

BIG = TURN_BYTES * 3 // 4


def frame(size: int, tag: int) -> bytes:
    return struct.pack(">I", size) + bytes([tag]) * size


def sizes(chunk: bytes) -> list[int]:
    """The sizes of the whole messages `chunk` holds (a trailing part counts as -1)."""
    out = []
    while chunk:
        n = struct.unpack(">I", chunk[:4])[0] if len(chunk) >= 4 else -1
        if n < 0 or len(chunk) < 4 + n:
            return [*out, -1]
        out.append(n)
        chunk = chunk[4 + n:]
    return out


def feed(reads, end=None):
    """Each read in a loop turn of its own, then `end` ("lost" or "disconnect"); returns what
    happened in order: each emitted chunk as its message sizes, "disconnected", and "turn" for
    each step of another task that runs at every loop turn; and the bytes emitted."""
    async def scenario():
        conn, out = PacedConnection(), []
        conn.hasData += out.append
        conn.disconnected += lambda msg: out.append("disconnected")

        async def ticker():
            while True:
                out.append("turn")
                await asyncio.sleep(0)

        task = asyncio.create_task(ticker())
        for data in reads:
            conn.data_received(data)
            await asyncio.sleep(0)
        if end == "lost":
            conn.connection_lost(None)
        elif end == "disconnect":
            conn.disconnect()
        for _ in range(20):
            await asyncio.sleep(0)
        task.cancel()
        return out

    out = asyncio.run(scenario())
    return [e if isinstance(e, str) else sizes(e) for e in out], b"".join(e for e in out if isinstance(e, bytes))


A, B, C = frame(10, 1), frame(BIG, 2), frame(BIG // 2, 3)
CASES = {  # reads, end -> the chunks' message sizes in order ("|": another task ran in between)
    "small messages of a read: one piece": ([A + frame(20, 4) + A], None, [[10, 20, 10]]),
    "large messages of a read: one a turn": ([B + B + B], None, [[BIG], "|", [BIG], "|", [BIG]]),
    "a turn takes messages up to its bytes": ([C + A + C + C], None, [[BIG // 2, 10, BIG // 2], "|", [BIG // 2]]),
    "a split message: whole once complete": ([B[:100], B[100:-1], B[-1:] + A], None, [[BIG, 10]]),
    "a loss: the pending first, a part too": ([B + B + B + A[:7]], "lost",
                                              [[BIG], "|", [BIG], [BIG, -1], "disconnected"]),
    "a disconnect drops the pending": ([B + B + B], "disconnect", [[BIG], "|", [BIG]]),
}


@pytest.mark.parametrize("reads, end, expected", CASES.values(), ids=CASES)
def test_messages_are_delivered_whole_and_a_turn_at_a_time(reads, end, expected):
    events, data = feed(reads, end)
    seen = []
    for e in events:
        if e != "turn":
            seen.append(e)
        elif seen and seen[-1] != "|":
            seen.append("|")
    assert seen[:len(expected)] == expected and set(seen[len(expected):]) <= {"|"}
    assert b"".join(reads).startswith(data) and (end == "disconnect" or data == b"".join(reads))


SYMBOLS = tuple(f"P{i:02d}" for i in range(20))


@pytest.mark.ib_sim(symbols=SYMBOLS, **STILL)
def test_a_burst_of_day_bars_over_the_wire(ib_sim):
    """20 answers at once, read through the paced connection: every one equals the gateway's, and
    no emission holds more than TURN_BYTES unless it is one message."""
    async def scenario():
        ib = PacedIB()
        emitted = []
        ib.client.conn.hasData += lambda data: emitted.append(sizes(data))
        async with ib_client(ib_sim, ib=ib):
            contracts = [await qualified(ib, s) for s in SYMBOLS]
            answers = await asyncio.gather(*(day_bars(ib, c) for c in contracts))
        return [as_dicts(a) for a in answers], emitted

    answers, emitted = run(scenario())
    assert answers == [ib_sim.call(lambda sim, s=s: sim.bars(s, False)) for s in SYMBOLS]
    assert all(len(e) == 1 or sum(n + 4 for n in e) <= TURN_BYTES for e in emitted)
    assert max(map(max, emitted)) > TURN_BYTES // 2    # the day's answers did come through it

"""Command line: ``quorvane serve``, ``quorvane seed-demo`` and ``quorvane ib-sim`` (also
``python -m quorvane``)."""

from __future__ import annotations

import argparse
import os
import sys

from quorvane import guards
from quorvane import ib as ibmode
from quorvane import plainjson
from quorvane.data import loader

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorvane", description="Quorvane market-data service.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    data_help = (f"bar cache directory (default: ${loader.DATA_DIR_ENV}, "
                 "else ~/.local/share/quorvane)")
    url_help = (f"keep the bars in this Redis server instead, redis://host:port/db, shared by every "
                f"process that names it (default: ${loader.CACHE_URL_ENV}, else the directory)")

    serve = sub.add_parser(
        "serve", help="run the HTTP API (seeds demo bars into an empty cache)",
        description="Run the HTTP API with uvicorn. When the bar cache holds no bars yet, or "
                    "only demo bars that have fallen behind the calendar, demo bars are "
                    "(re)seeded first (see seed-demo), so an offline machine serves "
                    "meaningful answers. Real bars are never replaced.")
    serve.add_argument("--host", default=DEFAULT_HOST, help=f"address to bind (default: {DEFAULT_HOST})")
    serve.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port (default: {DEFAULT_PORT})")
    serve.add_argument("--data-dir", help=data_help)
    serve.add_argument("--cache-url", help=url_help)
    serve.add_argument("--workers", type=int, default=1,
                       help="worker processes answering on the port, sharing the bar cache (default: 1)")
    serve.add_argument("--no-seed", action="store_true", help="never seed demo bars")
    serve.add_argument("--log-level", default="info", help="uvicorn log level (default: info)")
    serve.add_argument("--plain-json", action=argparse.BooleanOptionalAction, default=None,
                       help="render answers made only of JSON's own types without FastAPI's "
                            f"jsonable_encoder walk, the same bytes (default: ${plainjson.PLAIN_JSON_ENV}, else on)")
    guards.add_serve_options(serve)
    ib = serve.add_argument_group(
        "IB mode", "Live quotes and one-minute bars from TWS or IB Gateway. Off unless --ib or "
                   f"${ibmode.ENABLE_ENV}=1; a connection that fails is logged and the service "
                   "serves offline.")
    ib.add_argument("--ib", action=argparse.BooleanOptionalAction, default=None,
                    help=f"connect to TWS / IB Gateway (default: ${ibmode.ENABLE_ENV})")
    ib.add_argument("--ib-host", help=f"TWS address (default: ${ibmode.HOST_ENV}, else {ibmode.DEFAULT_HOST})")
    ib.add_argument("--ib-port", type=int, help=f"TWS API port (default: ${ibmode.PORT_ENV}, else {ibmode.DEFAULT_PORT})")
    ib.add_argument("--ib-client-id", type=int,
                    help=f"API client id (default: ${ibmode.CLIENT_ID_ENV}, else {ibmode.DEFAULT_CLIENT_ID})")
    ib.add_argument("--ib-symbols", help=f"comma list of symbols to track (default: ${ibmode.SYMBOLS_ENV}, "
                                         "else the demo symbols)")
    serve.add_argument(
        "--broker", choices=["ib", "qmt"],
        help="broker mode: ib (the same as --ib) or qmt, the QMT terminal through its bridge at "
             "$QUORVANE_QMT_URL (default http://127.0.0.1:8000) with $QUORVANE_QMT_API_KEY, assets "
             "polled every $QUORVANE_QMT_POLL_SECONDS (default 30) (default: offline, or IB mode "
             "as --ib says)")

    seed = sub.add_parser(
        "seed-demo", help="write deterministic demo bars into the bar cache",
        description="Write deterministic demo bars for AAPL, MSFT, NVDA, SPY and TSLA: about "
                    "300 daily bars up to the last complete trading day and the one-minute "
                    "bars of the current session so far (pre-market and after-hours included). "
                    "Existing bars of these symbols are replaced.")
    seed.add_argument("--data-dir", help=data_help)
    seed.add_argument("--cache-url", help=url_help)

    sim = sub.add_parser(
        "ib-sim", help="run an IB Gateway simulator on loopback (for serve --ib without IB)",
        description="Run a stand-in for TWS / IB Gateway that speaks the TWS API socket protocol: "
                    "contract details, quotes that move several times a second and the day's "
                    "one-minute bars with live updates of the forming bar, each symbol on a "
                    "deterministic random walk. Runs until Ctrl+C or SIGTERM.")
    sim.add_argument("--host", default=ibmode.DEFAULT_HOST, help=f"address to bind (default: {ibmode.DEFAULT_HOST})")
    sim.add_argument("--port", type=int, default=ibmode.DEFAULT_PORT,
                     help=f"TWS API port (default: {ibmode.DEFAULT_PORT}, 0 for a free one)")
    sim.add_argument("--symbols", help="comma list of the symbols it knows (default: the demo symbols)")
    sim.add_argument("--seed", type=int, default=0, help="seed of the random walks (default: 0)")
    sim.add_argument("--bar-update-seconds", type=float, default=5.0,
                     help="seconds between live updates of the forming bar (default: 5)")
    sim.add_argument("--tick-interval", type=float, default=0.25,
                     help="seconds between quote updates (default: 0.25)")
    return parser


def _run_ib_sim(args: argparse.Namespace) -> int:
    import asyncio
    import signal

    from quorvane.ib.sim import GatewaySim

    symbols = ibmode.parse_symbols(args.symbols) if args.symbols is not None else None
    if args.tick_interval <= 0 or args.bar_update_seconds <= 0:
        raise ValueError("--tick-interval and --bar-update-seconds must be positive")

    async def run() -> None:
        sim = GatewaySim(**({"symbols": symbols} if symbols else {}), host=args.host, port=args.port,
                         seed=args.seed, tick_interval=args.tick_interval,
                         bar_update_seconds=args.bar_update_seconds)
        stopping = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stopping.set)
        await sim.start()
        print(f"ib-sim: listening on {sim.host}:{sim.port}", file=sys.stderr, flush=True)
        try:
            await stopping.wait()
        finally:
            await sim.stop()

    asyncio.run(run())
    return 0


def _open(data_dir: str | None, cache_url: str | None) -> loader.BarCache:
    # Anything that opens the cache later in this process, or in a worker it starts, finds the same one.
    if data_dir:
        os.environ[loader.DATA_DIR_ENV] = data_dir
    if cache_url is not None:
        os.environ[loader.CACHE_URL_ENV] = cache_url
    return loader.open_cache(data_dir)


def _seed(cache: loader.BarCache) -> None:
    from quorvane.data.demo import seed_demo

    summary = seed_demo(cache)
    print(f"seeded demo bars into {cache.location}: {len(summary['symbols'])} symbols, daily bars "
          f"up to {summary['last_complete_day']}, one-minute bars of {summary['session_day']}",
          file=sys.stderr)


def ib_config(args: argparse.Namespace, environ=None) -> ibmode.IBConfig | None:
    """IB mode's configuration from the serve options and the environment, None when it is off."""
    enable = True if args.broker == "ib" else args.ib
    return ibmode.IBConfig.resolve(environ, enable=enable, host=args.ib_host, port=args.ib_port,
                                   client_id=args.ib_client_id, symbols=args.ib_symbols)


def broker_modes(args: argparse.Namespace, environ=None) -> tuple[ibmode.IBConfig | None, bool]:
    """(IB mode's configuration or None, whether QMT mode is on) from the serve options."""
    if args.broker == "qmt":
        if args.ib:
            raise ValueError("--broker qmt and --ib exclude each other")
        return None, True
    return ib_config(args, environ), False


def workers(args: argparse.Namespace, ib, qmt: bool) -> int:
    """The number of worker processes; IB and QMT mode hold one broker session, so one process."""
    if args.workers < 1:
        raise ValueError(f"--workers must be at least 1, got {args.workers}")
    if args.workers > 1 and (ib is not None or qmt):
        raise ValueError("--workers above 1 serves offline only: IB and QMT mode keep one broker "
                         "session, in one process")
    return args.workers


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "ib-sim":
        try:
            return _run_ib_sim(args)
        except (ValueError, OSError) as e:
            print(f"quorvane: error: {e}", file=sys.stderr)
            return 2
    try:
        ib, qmt = broker_modes(args) if args.command == "serve" else (None, False)
        uvicorn_options = guards.serve_options(args) if args.command == "serve" else {}
        if args.command == "serve":
            if args.plain_json is not None:
                os.environ[plainjson.PLAIN_JSON_ENV] = "1" if args.plain_json else "0"
            plainjson.enabled()  # a bad value fails here, before the server starts
        processes = workers(args, ib, qmt) if args.command == "serve" else 1
        cache = _open(args.data_dir, args.cache_url)
    except (ValueError, loader.CacheError) as e:
        print(f"quorvane: error: {e}", file=sys.stderr)
        return 2

    if args.command == "seed-demo":
        _seed(cache)
        return 0

    if not args.no_seed:
        from quorvane.data.demo import demo_is_stale

        if cache.is_empty() or demo_is_stale(cache):
            _seed(cache)
    import uvicorn

    if processes > 1:
        # each worker builds its own app from the environment the options were put in
        loader.close_cache()
        uvicorn.run("quorvane.app:create_app", factory=True, workers=processes, host=args.host,
                    port=args.port, log_level=args.log_level, **uvicorn_options)
        return 0
    from quorvane.app import create_app

    uvicorn.run(create_app(cache.directory, ib=ib, qmt=qmt), host=args.host, port=args.port,
                log_level=args.log_level, **uvicorn_options)
    return 0


if __name__ == "__main__":
    sys.exit(main())

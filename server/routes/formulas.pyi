"""Formula management routes — /api/v1/formulas/*."""

from collections.abc import Callable, Hashable, Sequence
from typing import Any

from fastapi import APIRouter as APIRouter
from fastapi import Query as Query
from fastapi import Request as Request

from quorvane.tinyalgo import Bar as Bar

# A parsed indicator spec: the upper-case formula name and its parameters.
_Param = int | float | str
_Spec = tuple[str, tuple[_Param, ...]]
# (indicator payloads by formula key, error texts by spec as sent)
_Computed = tuple[dict[Hashable, dict[str, Any]], dict[str, str]]

router: APIRouter
_BATCH_TTL: float
# (symbol, period, count, sorted specs) -> (monotonic time stored, computed results)
_batch_cache: dict[tuple[str, str, int, tuple[str, ...]], tuple[float, _Computed]]

def _compute_indicators(bars: list[Bar], ind: list[str]) -> _Computed:
    """Replay every requested indicator over *bars* (pure CPU, off the event loop)."""

def _parse_ind(spec: str) -> _Spec | None:
    """Parse 'NAME' or 'NAME(p1,p2,...)' into (upper_name, params_tuple)."""

def _supports_emit(fn: Callable[..., Any]) -> bool: ...
def _is_stock_symbol(symbol: str) -> bool:
    """Resolve a symbol to its contract secType — True only for stocks and
    ETFs (secType STK), never options, futures, indices, forex, crypto,
    bonds, CFDs or combos."""

def _snapshot_series(fn: Callable[..., Any], bars: Sequence[Bar], params: tuple[_Param, ...]) -> dict[str, Any]:
    """Legacy fallback: prefix-replay a snapshot formula into a line series."""

def _normalize_plots(result: dict[str, Any]) -> dict[str, Any]: ...
async def formula_batch(
    request: Request, symbol: str, period: str = "day", count: int = 250, ind: list[str] = ..., since: int = 0
) -> dict[str, Any]: ...
async def list_formulas(request: Request) -> dict[str, Any]: ...
async def reload_formulas(request: Request) -> dict[str, Any]: ...
async def remove_formula(request: Request, name: str) -> dict[str, Any]: ...

// The route functions and helpers of quorvane.server.routes.health, one file per route family.
#pragma once
#include "frame/frame.hpp"

namespace health {
using namespace frame;

// status.cpp
Co health(Obj request);
Co info();

// market_status.cpp
Co market_status(Obj request, Str exchange);

// snapshots.cpp
Co snapshots(Obj request, Str symbols);

// intraday_store.cpp
Ref store_and_slim(Obj cache, Str sym, List bar_dicts);
Ref process_ibkr_bars(Obj cache, Str sym, Obj bars);
Ref process_yf_hist(Obj cache, Str sym, Obj hist);

// batch_intraday.cpp
Co batch_intraday(Obj request, Obj req);
// asyncio.gather(*(fn(sym) for sym in symbols)), with return_exceptions=True when asked: the awaitable
Ref gather_each(Obj fn, Obj symbols, bool return_exceptions);

}  // namespace health

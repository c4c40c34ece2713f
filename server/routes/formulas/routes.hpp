// The route functions and helpers of quorvane.server.routes.formulas, one file per family.
#pragma once
#include "frame/frame.hpp"

namespace formulas {
using namespace frame;

// indicators.cpp: parsing indicator specs, running formulas, shaping their results
Ref parse_ind(Str spec);
bool supports_emit(Obj fn);
bool is_stock_symbol(Str symbol);
Ref snapshot_series(Obj fn, Obj bars, Tuple params);
Ref normalize_plots(Dict result);
Ref compute_indicators(List bars, List ind);

// batch.cpp
Co formula_batch(Obj request, Str symbol, Str period, Int count, Obj ind, Int since);

// catalogue.cpp
Co list_formulas(Obj request);
Co reload_formulas(Obj request);
Co remove_formula(Obj request, Str name);

}  // namespace formulas

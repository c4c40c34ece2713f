// The route functions and helpers of quorvane.server.routes.health, one file per route family.
#pragma once
#include "frame/frame.hpp"

namespace health {
using namespace frame;

// status.cpp
Co health(Obj request);
Co info();

}  // namespace health

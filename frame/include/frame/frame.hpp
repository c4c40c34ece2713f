// The frame: everything a module file needs.
#pragma once
#include "frame/module.hpp"

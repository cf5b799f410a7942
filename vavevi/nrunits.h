// The places of the component library's units in the module's load order
// (rtunits.h explains the order): after the class library's own, first to
// last.
#pragma once

#include "rtunits.h"

inline constexpr int kUnitNrsysutils = 1100;  // the process-wide lock
inline constexpr int kUnitVavevi = 1200;      // the serial component's window messages
inline constexpr int kUnitNrsyslibs = 1300;   // system libraries bound at run time (nrsyslibs.h)

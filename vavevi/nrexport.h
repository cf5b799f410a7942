// Export macro of the component library. The library is built and exported
// as the class library below it is (rtexport.h): dllexport while torvex.dll's
// libraries are compiled, dllimport for a program that uses the classes
// through the DLL, nothing for a program that links the libraries directly.
#pragma once

#include "rtexport.h"

#define VAVEVI_API RT_API

// The runtime's own unit (Windows): it gives back the C++ runtime's
// exception reserve when the module is unloaded, after every other unit.
#include "rtunits.h"

namespace __gnu_cxx {
// Frees the reserve kept for raising exceptions when memory runs out; part
// of the C++ runtime (libstdc++), linked into the module.
void __freeres();
}  // namespace __gnu_cxx

namespace {
void Finalization() { __gnu_cxx::__freeres(); }
const TUnitInit g_unit RT_UNIT_PLACE(kUnitRuntime)(nullptr, &Finalization);
}  // namespace

#include "nrsyslibs.h"

#include <initializer_list>
#include <utility>

#include "nrunits.h"
#include "nrusbw32.h"

namespace {

// The bindings are the module's own state by design: each library is bound
// once for the life of the module (see the rule in nrsyslibs.h). They are
// constant-initialised and guarded by g_lock, which the unit makes at load
// (before any static object of the module) and deletes at unload.
CRITICAL_SECTION g_lock;

struct Binding {
  const char *library;
  HMODULE module;
};
constinit Binding g_setupApiLib{"SetupAPI.dll", nullptr};
constinit Binding g_kernel32{"kernel32.dll", nullptr};
constinit Binding g_spooler{"winspool.drv", nullptr};
constinit Binding g_ntdll{"ntdll.dll", nullptr};
constinit syslibs::SetupApi g_setupApi{};
constinit syslibs::CancelIoFn g_cancelIo = nullptr;
constinit syslibs::EnumPortsFn g_enumPorts = nullptr;
constinit syslibs::ZwQueryKeyFn g_zwQueryKey = nullptr;

// The configuration manager, loaded through the seam that was current then.
constinit HMODULE g_cfgMgrModule = nullptr;
constinit UsbSystem *g_cfgMgrSeam = nullptr;
constinit syslibs::CfgMgr g_cfgMgr{};

struct Guard {
  Guard() { EnterCriticalSection(&g_lock); }
  ~Guard() { LeaveCriticalSection(&g_lock); }
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;
};

template <class F>
void Assign(F &target, FARPROC p) {
  target = reinterpret_cast<F>(reinterpret_cast<void *>(p));
}

// Under g_lock: loads the library of binding when it is not loaded and looks
// up every entry point; all or none (a library without them all is freed).
bool Bind(Binding &binding, std::initializer_list<std::pair<const char *, FARPROC *>> entries) {
  if (binding.module) return true;
  HMODULE module = LoadLibraryA(binding.library);
  if (!module) return false;
  for (auto [name, entry] : entries) {
    *entry = GetProcAddress(module, name);
    if (!*entry) {
      FreeLibrary(module);
      return false;
    }
  }
  binding.module = module;
  return true;
}

// A library bound for one entry point: the entry, or nullptr when the
// library or the entry is missing.
template <class F>
F BindOne(Binding &binding, const char *name, F &entry) {
  Guard guard;
  FARPROC p = nullptr;
  if (!binding.module) {
    if (!Bind(binding, {{name, &p}})) return nullptr;
    Assign(entry, p);
  }
  return entry;
}

void Initialization() { InitializeCriticalSection(&g_lock); }

void Finalization() {
  syslibs::ReleaseCfgMgr();
  for (Binding *binding : {&g_setupApiLib, &g_kernel32, &g_spooler, &g_ntdll}) {
    if (binding->module) FreeLibrary(binding->module);
    binding->module = nullptr;
  }
  g_setupApi = {};
  g_cancelIo = nullptr;
  g_enumPorts = nullptr;
  g_zwQueryKey = nullptr;
  DeleteCriticalSection(&g_lock);
}

const TUnitInit g_unit RT_UNIT_PLACE(kUnitNrsyslibs)(&Initialization, &Finalization);

}  // namespace

namespace syslibs {

const SetupApi *BindSetupApi() {
  Guard guard;
  FARPROC p[5] = {};
  if (!g_setupApiLib.module) {
    if (!Bind(g_setupApiLib, {{"SetupDiGetClassDevsA", &p[0]},
                              {"SetupDiDestroyDeviceInfoList", &p[1]},
                              {"SetupDiEnumDeviceInfo", &p[2]},
                              {"SetupDiGetDeviceRegistryPropertyA", &p[3]},
                              {"SetupDiOpenDevRegKey", &p[4]}}))
      return nullptr;
    Assign(g_setupApi.getClassDevs, p[0]);
    Assign(g_setupApi.destroyList, p[1]);
    Assign(g_setupApi.enumInfo, p[2]);
    Assign(g_setupApi.getProperty, p[3]);
    Assign(g_setupApi.openDevRegKey, p[4]);
  }
  return &g_setupApi;
}

const SetupApi *BoundSetupApi() {
  Guard guard;
  return g_setupApiLib.module ? &g_setupApi : nullptr;
}

bool BindCfgMgr(UsbSystem &seam, CfgMgr &entries) {
  Guard guard;
  if (!g_cfgMgrModule) {
    HMODULE module = seam.LoadModule("cfgmgr32.dll");
    if (!module) return false;
    CfgMgr found{};
    Assign(found.locate, seam.FindEntry(module, "CM_Locate_DevNodeA"));
    Assign(found.property, seam.FindEntry(module, "CM_Get_DevNode_Registry_PropertyA"));
    Assign(found.child, seam.FindEntry(module, "CM_Get_Child"));
    Assign(found.sibling, seam.FindEntry(module, "CM_Get_Sibling"));
    Assign(found.parent, seam.FindEntry(module, "CM_Get_Parent"));
    if (!found.locate || !found.property || !found.child || !found.sibling || !found.parent) {
      seam.ReleaseModule(module);
      return false;
    }
    g_cfgMgrModule = module;
    g_cfgMgrSeam = &seam;
    g_cfgMgr = found;
  }
  entries = g_cfgMgr;
  return true;
}

void ReleaseCfgMgr() {
  Guard guard;
  if (g_cfgMgrModule && g_cfgMgrSeam) g_cfgMgrSeam->ReleaseModule(g_cfgMgrModule);
  g_cfgMgrModule = nullptr;
  g_cfgMgrSeam = nullptr;
  g_cfgMgr = {};
}

CancelIoFn BindCancelIo() { return BindOne(g_kernel32, "CancelIo", g_cancelIo); }

EnumPortsFn BindEnumPorts() { return BindOne(g_spooler, "EnumPortsA", g_enumPorts); }

ZwQueryKeyFn BindZwQueryKey() { return BindOne(g_ntdll, "ZwQueryKey", g_zwQueryKey); }

}  // namespace syslibs

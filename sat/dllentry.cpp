// The entry routine of torvex.dll.
//
// Before the system calls it for the load, the C++ runtime has run the
// initialisation of the library's units (their static objects, in the order
// of rtunits.h); after it has been called for the unload, the runtime
// destroys them again, which releases what the units bound. The routine
// itself has nothing to do for any notification.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

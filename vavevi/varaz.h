// Varaz: the USB component and its parts, one header each.
//
// - TnrUsb (nrusb.h), the component: it builds a tree of the machine's USB
//   topology through the system queries of Nrusbw32, flattens it into its
//   device list for display and selection, and opens the embedded kernel
//   driver as its own handle. Through that handle it can ask the driver to
//   cycle the USB port of a device it has opened (the device is taken off its
//   port and enumerated again).
// - The tree's nodes: host controllers (nrusbhost.h), their hubs
//   (nrusbhub.h), the hubs' ports (nrusbport.h), the device on each port
//   (nrusbdevice.h) and its open pipes (nrusbpipe.h), with what they share
//   (nrusbnode.h).
// - TnrUsbDriver (nrusbdriver.h), the embedded driver (the service "varaz").
//
// Diagnostics go to the debugger output. Everything runs on the caller's
// thread; nothing here takes a lock.
#pragma once

#include "nrusb.h"
#include "nrusbdevice.h"
#include "nrusbdriver.h"
#include "nrusbhost.h"
#include "nrusbhub.h"
#include "nrusbnode.h"
#include "nrusbpipe.h"
#include "nrusbport.h"

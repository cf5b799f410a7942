// A scripted USB stack behind the UsbSystem seam: host controllers, hubs,
// ports, devices and the Plug and Play tree, answered the way the Windows USB
// stack answers its device-control requests, with faults on demand (failed
// or short answers, malformed size reports, a missing cfgmgr32.dll). Every
// call is logged, and every handle it gives out must come back.
//
// Install one for a test with FakeUsbStack::Scope; nothing of the real system
// is touched while it is installed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <cfgmgr32.h>

#include "nrusbw32.h"

struct FakeEndpoint {
  std::uint8_t address = 0x81;  // bit 7: IN
  std::uint8_t attributes = 2;  // transfer type in bits 0-1 (bulk)
  std::uint16_t maxPacket = 64;
};

struct FakePort {
  USB_CONNECTION_STATUS status = NoDeviceConnected;
  bool isHub = false;
  std::wstring hubName;    // the connection name of a hub on this port
  std::wstring driverKey;  // empty: the device has no driver key
  std::uint16_t bcdUSB = 0x0200, vendor = 0x1234, product = 0x5678;
  std::uint8_t maxPacket0 = 64, lowSpeed = 1;
  std::vector<FakeEndpoint> pipes;
  int reportedPipes = -1;  // NumberOfOpenPipes when not the pipe count
  // The configuration descriptor with its interfaces and endpoints; empty:
  // the descriptor request fails.
  std::vector<std::uint8_t> config;
  bool failConnection = false;   // the connection request fails
  DWORD connectionReturned = 0;  // when not 0: bytes the connection answer reports
};

struct FakeHub {
  std::vector<FakePort> ports;
  std::uint8_t controlCurrent = 100;
  bool busPowered = false;
  bool failNodeInfo = false;
  DWORD nodeInfoReturned = 0;  // when not 0: bytes the node-information answer reports
  bool failOpen = false;
  bool failExclusiveOpen = false;  // opens without sharing fail (another holds it open)
};

struct FakeController {
  std::wstring driverKey;
  std::wstring rootHub;  // the root hub's name
};

struct FakeDevNode {
  std::string driverKey;  // empty: the node has no driver property
  std::string description;
  bool descriptionReadable = true;
  std::vector<int> children;  // indices into the node table
  int parent = -1;
};

// A fault on the two-step name requests of one handle path and code.
struct FakeNameFault {
  bool failProbe = false;
  bool failSecond = false;
  bool reportActualLength = false;  // report actualLength instead of the true size
  ULONG actualLength = 0;
  DWORD secondReturned = 0;  // when not 0: bytes the second answer reports
};

struct FakeCall {
  std::string path;  // of the handle the request went to
  DWORD code = 0;
  DWORD inSize = 0, outSize = 0;
  std::vector<std::uint8_t> input;  // the input bytes as sent
};

class FakeUsbStack : public UsbSystem {
 public:
  FakeUsbStack();
  ~FakeUsbStack() override;

  // Installs the stack as the seam for the life of the scope.
  class Scope {
   public:
    explicit Scope(FakeUsbStack &stack) { SetUsbSystem(&stack); }
    ~Scope() { SetUsbSystem(nullptr); }
  };

  // The topology.
  std::map<int, FakeController> controllers;  // by HCD index
  std::map<std::wstring, FakeHub> hubs;       // by hub name
  std::vector<FakeDevNode> devNodes;          // 0 is the root
  // Adds a Plug and Play node below parent and gives its index.
  int AddDevNode(int parent, std::string driverKey, std::string description,
                 bool descriptionReadable = true);

  // Faults.
  std::map<std::pair<std::string, DWORD>, FakeNameFault> nameFaults;
  bool cfgmgrMissing = false;
  std::string missingEntry;         // a cfgmgr32 entry point that is not found
  std::set<std::string> failOpens;  // paths that do not open

  // What happened.
  std::vector<std::string> opens;  // every path opened (or tried)
  std::vector<FakeCall> calls;
  int cfgmgrLoads = 0;
  int cfgmgrReleases = 0;
  int propertyReads = 0;
  int OpenHandles() const { return static_cast<int>(handles_.size()); }
  std::vector<FakeCall> CallsWith(DWORD code) const;

  HANDLE Open(const std::string &path, DWORD access, DWORD share) override;
  BOOL Control(HANDLE device, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
               DWORD *returned) override;
  BOOL Close(HANDLE handle) override;
  HMODULE LoadModule(const char *name) override;
  FARPROC FindEntry(HMODULE module, const char *name) override;
  BOOL ReleaseModule(HMODULE module) override;

  // The cfgmgr32 entry points of the fake (called through the pointers that
  // FindEntry gives out).
  static FakeUsbStack *current;
  CONFIGRET Locate(PDEVINST node);
  CONFIGRET Property(DEVINST node, ULONG property, PVOID buffer, PULONG length);
  CONFIGRET Relative(PDEVINST out, DEVINST node, int which);

 private:
  enum class Kind { Controller, Hub, Node };
  struct Handle {
    Kind kind;
    std::string path;
    int controller = -1;
    std::wstring hub;
  };
  BOOL Name(const Handle &h, DWORD code, const std::wstring &name, bool withIndex, void *out,
            DWORD outSize, DWORD *returned);
  BOOL NodeInfo(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned);
  BOOL Connection(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned);
  BOOL Descriptor(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned);
  const FakePort *PortOf(const FakeHub &hub, const void *in, DWORD inSize) const;

  std::map<HANDLE, Handle> handles_;
  std::uintptr_t nextHandle_ = 0x7A000000;
};

// Configuration descriptor bytes: the 9-byte header (wTotalLength covering
// the extra bytes) followed by extra.
std::vector<std::uint8_t> FakeConfig(std::uint8_t attributes, std::uint8_t maxPower,
                                     std::vector<std::uint8_t> extra = {});

// Chooses a serial port by name from the machine's list, keeps the choice in
// the registry for the next run, and asks the device on that port for its
// plug-and-play identity.
#include <string>

#include "vavevi.h"

std::string IdentifyDevice(const std::string &portName) {
  const char key[] = "Software\\Example\\Till";
  TvaVevi com(nullptr);  // COM1, 19200 8N1, hardware handshake
  // The port and time-outs saved by an earlier run, when there are any.
  com.LoadConfig(HKEY_CURRENT_USER, key, "Port");

  TStringList ports;  // "COM1", "COM7", ..., each with its number
  com.GetDeviceList(&ports);
  int index = ports.IndexOf(portName);
  if (index >= 0) com.SetDeviceIndex(index);  // ComPortNo := that port's number
  com.SetTimeoutWrite(50);                    // ms per byte written
  com.SaveConfig(HKEY_CURRENT_USER, key, "Port");

  // Opens the port for the wake-up and closes it again afterwards: "(...)",
  // or "" when nothing answers. No device on the line (no DSR) raises
  // "Device Connect Initialization Error".
  return com.GetPNPDeviceString();
}

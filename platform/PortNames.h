#pragma once
// Port names as the drivers and the request packets give them ("COM3",
// "COM3:") and the device each stands for. The optional [Serial] section of
// Tarvina.ini maps names to devices (COM3=/dev/ttyUSB0); the server installs
// it once at start. Without an entry COMn is /dev/ttyS<n-1>.
#include <map>
#include <string>

namespace tarvina {

// Keys are port names ("COM3", "com3:" alike), values device paths. Replaces
// any earlier map. Keys that are not port names are ignored.
void SetPortMap(const std::map<std::string, std::string>& map);

// The port number of "COMn" or "COMn:" (any letter case, n >= 1), else 0.
int ComPortNumber(const std::string& name);

// The device to open for a port name. A name that is not COMn is taken as a
// device path as it stands.
std::string PortDevicePath(const std::string& name);

}  // namespace tarvina

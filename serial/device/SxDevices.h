#pragma once
// The device back ends. SxCreateDevice (serial/core/SxDevice.h) picks one by name; these make a
// particular kind directly.

#include "serial/core/SxDevice.h"

#include <memory>
#include <string>

struct addrinfo; // <netdb.h>

namespace sx {

// The operating system's serial device (POSIX termios here).
std::unique_ptr<ISxDevice> SxCreateOsDevice();
// The near end of a simulated line (see SxSimLine.h).
std::unique_ptr<ISxDevice> SxCreateSimDevice();
// The near end of a simulated line with the simulated Hayes modem at its far end (SxSimModemHost.cpp).
std::unique_ptr<ISxDevice> SxCreateSimModemDevice();
// The near end of a simulated line with the simulated lift controller at its far end (SxSimCtlHost.cpp).
std::unique_ptr<ISxDevice> SxCreateSimCtlDevice();
// A port on a terminal server: "rfc2217://host:port" (Telnet with the COM port option) or
// "tcp://host:port" (raw bytes, no line control) (SxNetDevice.cpp).
std::unique_ptr<ISxDevice> SxCreateNetDevice();
bool SxIsNetDevice(const std::string& name);
// How a network port looks its host up: getaddrinfo's shape, and the list it gives is freed with
// freeaddrinfo. Returns the one replaced. A test puts a slow or failing name service here; nullptr
// restores getaddrinfo.
using SxHostLookup = int (*)(const char* host, const char* service, const ::addrinfo* hints, ::addrinfo** result);
SxHostLookup SxSetHostLookup(SxHostLookup lookup);
// Splits a network device name; false when it is not one or is malformed (no host, bad port).
bool SxParseNetDeviceName(const std::string& name, bool& telnet, std::string& host, std::string& port);

// Who holds a serial device, for a message after an open answered "in use": "PID 1234 (minicom)"
// from the device's lock file (the program's name from /proc), else from a scan of the open files
// of this machine's processes; empty when no holder can be named. The lock file of a process that
// is gone names nobody.
std::string SxPortHolder(const std::string& devicePath);

// The directory of the device lock files ("/var/lock" unless changed; tests point it elsewhere).
std::string SxLockDirectory();
void SxSetLockDirectory(const std::string& dir);
// The lock file of a device: /dev/ttyUSB0 -> <lock directory>/LCK..ttyUSB0, /dev/pts/3 -> LCK..pts_3.
std::string SxLockFilePath(const std::string& devicePath);

} // namespace sx

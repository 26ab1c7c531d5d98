#pragma once
// The device back ends. SxCreateDevice (serial/core/SxDevice.h) picks one by name; these make a
// particular kind directly.

#include "serial/core/SxDevice.h"

#include <memory>

namespace sx {

// The operating system's serial device (POSIX termios here).
std::unique_ptr<ISxDevice> SxCreateOsDevice();
// The near end of a simulated line (see SxSimLine.h).
std::unique_ptr<ISxDevice> SxCreateSimDevice();
// The near end of a simulated line with the simulated Hayes modem at its far end (SxSimModemHost.cpp).
std::unique_ptr<ISxDevice> SxCreateSimModemDevice();

} // namespace sx

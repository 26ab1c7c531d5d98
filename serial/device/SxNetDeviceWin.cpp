// Network device names on Windows. The terminal-server port itself (SxNetDevice.cpp) is written against
// POSIX sockets and not built here yet; until it is, such a name reaches the COM device, which refuses it as
// a port that does not exist.

#include "serial/device/SxDevices.h"

namespace sx {

bool SxIsNetDevice(const std::string& name) {
    return name.rfind("rfc2217://", 0) == 0 || name.rfind("tcp://", 0) == 0;
}

} // namespace sx

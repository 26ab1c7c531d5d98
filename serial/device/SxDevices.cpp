#include "serial/device/SxDevices.h"

#include "platform/ComMap.h"

namespace sx {

std::unique_ptr<ISxDevice> SxCreateDevice(const std::string& name) {
    if (plat::IsSimDevice(name)) return SxCreateSimDevice();
    if (plat::IsSimModemDevice(name)) return SxCreateSimModemDevice();
    if (plat::IsSimControllerDevice(name)) return SxCreateSimCtlDevice();
    if (SxIsNetDevice(name)) return SxCreateNetDevice();
    return SxCreateOsDevice();
}

} // namespace sx

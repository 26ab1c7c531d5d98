#include "platform/ComMap.h"

#include <map>
#include <mutex>

namespace plat {
namespace {
std::mutex gLock;
std::map<int, std::string>& Devices() {
    static std::map<int, std::string> devices;
    return devices;
}
} // namespace

void SetComDevice(int n, std::string device) {
    std::lock_guard<std::mutex> g(gLock);
    if (device.empty())
        Devices().erase(n);
    else
        Devices()[n] = std::move(device);
}

std::string ComDevice(int n) {
    std::lock_guard<std::mutex> g(gLock);
    auto it = Devices().find(n);
    if (it != Devices().end()) return it->second;
#if defined(_WIN32)
    return "\\\\.\\COM" + std::to_string(n);
#else
    return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

void ClearComDevices() {
    std::lock_guard<std::mutex> g(gLock);
    Devices().clear();
}

bool IsSimDevice(const std::string& device) { return device == "sim" || device.rfind("sim:", 0) == 0; }

bool IsSimModemDevice(const std::string& device) {
    return device == "simmodem" || device.rfind("simmodem:", 0) == 0;
}

bool IsSimControllerDevice(const std::string& device) {
    return device == "simctl" || device.rfind("simctl:", 0) == 0;
}

} // namespace plat

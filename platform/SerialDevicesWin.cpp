// The serial devices of a Windows machine: every "COMn" among the system's DOS device names, with the
// kernel device behind it ("\Device\Serial0", "\Device\VCP0") as its driver. Access is decided by the open.
#include "platform/SerialDevices.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace plat {
namespace {

bool IsComName(const std::string& name) {
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The NUL-separated list QueryDosDevice fills, grown until it fits.
std::vector<std::string> DosDeviceNames(const char* name) {
    std::vector<char> buf(16 * 1024);
    for (;;) {
        const DWORD n = ::QueryDosDeviceA(name, buf.data(), static_cast<DWORD>(buf.size()));
        if (n != 0) {
            std::vector<std::string> names;
            for (const char* p = buf.data(); p < buf.data() + n && *p; p += std::strlen(p) + 1) names.emplace_back(p);
            return names;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buf.size() >= (1u << 22)) return {};
        buf.resize(buf.size() * 2);
    }
}

int ComNumber(const std::string& name) { return std::atoi(name.c_str() + 3); }

} // namespace

Identity CurrentIdentity() { return {}; }

std::vector<SerialDevice> ListSerialDevices(const std::string& /*root*/, const Identity& /*who*/) {
    std::vector<SerialDevice> devices;
    for (const std::string& name : DosDeviceNames(nullptr)) {
        if (!IsComName(name)) continue;
        SerialDevice d;
        d.name = name;
        d.path = name;
        const std::vector<std::string> target = DosDeviceNames(name.c_str());
        if (!target.empty()) {
            const std::string& kernel = target.front();
            d.driver = kernel.substr(kernel.find_last_of('\\') + 1);
        }
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return ComNumber(a.name) < ComNumber(b.name); });
    return devices;
}

} // namespace plat

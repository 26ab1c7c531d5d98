// The serial devices of a Windows machine: the device manager's Ports class (SetupAPI) with each device's
// name as the device manager shows it ("USB Serial Port (COM5)"), its maker, USB ids and serial number,
// driver service, and whether it is plugged in; then every other "COMn" among the system's DOS device names
// (virtual ports, and wine, whose ports are no devices of that class), with the kernel device behind it
// ("\Device\Serial0") as its driver. Access is decided by the open.
#include "platform/SerialDevices.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

// windows.h before the SetupAPI headers, which rely on its types.
#include <windows.h>

#include <initguid.h> // GUID_DEVCLASS_PORTS defined here, not taken from a library

#include <devguid.h>
#include <setupapi.h>

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
            for (const char* p = buf.data(); p < buf.data() + n && *p; p += std::strlen(p) + 1)
                names.emplace_back(p);
            return names;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buf.size() >= (1u << 22)) return {};
        buf.resize(buf.size() * 2);
    }
}

int ComNumber(const std::string& name) {
    return std::atoi(name.c_str() + 3);
}

// UTF-16 of the system as UTF-8 (the form the Linux list has; the description turns it into cp1252).
std::string Utf8(const wchar_t* text, std::size_t n) {
    if (n == 0) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), size, nullptr, nullptr);
    return out;
}

// A text property of the device (the first string of a list), empty when it has none.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    wchar_t buf[1024] = {};
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr, reinterpret_cast<BYTE*>(buf),
                                             sizeof buf - sizeof(wchar_t), nullptr))
        return {};
    return Utf8(buf, std::wcslen(buf));
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA& info) {
    wchar_t buf[512] = {};
    if (!::SetupDiGetDeviceInstanceIdW(set, &info, buf, 511, nullptr)) return {};
    return Utf8(buf, std::wcslen(buf));
}

// "COM5" from the device's own registry key, empty for a port of another kind (LPT1).
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& info) {
    const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t buf[64] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    DWORD type = 0;
    const bool ok = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buf),
                                       &size) == ERROR_SUCCESS &&
                    type == REG_SZ;
    ::RegCloseKey(key);
    return ok ? Utf8(buf, std::wcslen(buf)) : std::string();
}

// The instance ids of the Ports class devices that are plugged in.
std::set<std::string> PresentIds() {
    std::set<std::string> ids;
    const HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ids;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i)
        ids.insert(InstanceId(set, info));
    ::SetupDiDestroyDeviceInfoList(set);
    return ids;
}

// Every COM port of the Ports class, plugged in or not.
std::vector<SerialDevice> PortsClass() {
    std::vector<SerialDevice> devices;
    const std::set<std::string> present = PresentIds();
    const HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return devices;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        SerialDevice d;
        d.name = PortName(set, info);
        if (!IsComName(d.name)) continue;
        d.path = d.name;
        const std::string id = InstanceId(set, info);
        d.present = present.count(id) > 0;
        d.vendor = Property(set, info, SPDRP_MFG);
        d.product = Property(set, info, SPDRP_FRIENDLYNAME);
        if (d.product.empty()) d.product = Property(set, info, SPDRP_DEVICEDESC);
        d.driver = Property(set, info, SPDRP_SERVICE);
        ReadWindowsDeviceIds(Property(set, info, SPDRP_HARDWAREID), id, d);
        devices.push_back(std::move(d));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return devices;
}

} // namespace

Identity CurrentIdentity() {
    return {};
}

std::vector<SerialDevice> ListSerialDevices(const std::string& /*root*/, const Identity& /*who*/) {
    std::vector<SerialDevice> devices = PortsClass();
    std::set<std::string> known;
    for (const SerialDevice& d : devices)
        known.insert(d.name);
    for (const std::string& name : DosDeviceNames(nullptr)) {
        if (!IsComName(name) || known.count(name)) continue;
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
    // By COM number; of two with one number, the one plugged in first.
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return ComNumber(a.name) != ComNumber(b.name) ? ComNumber(a.name) < ComNumber(b.name)
                                                      : a.present > b.present;
    });
    return devices;
}

} // namespace plat

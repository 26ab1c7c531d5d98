// What the user reads of a serial device and the name a COM number is mapped to, on every system.
#include "platform/SerialDevices.h"

#include "platform/Paths.h"

namespace plat {

std::string DescribeSerialDevice(const SerialDevice& d) {
    std::string text = Utf8ToCp1252(d.vendor);
    if (!d.product.empty()) text += (text.empty() ? "" : " ") + Utf8ToCp1252(d.product);
    if (text.empty() && !d.vendorId.empty()) text = "USB " + d.vendorId + ":" + d.productId;
    if (text.empty()) text = "Serielle Schnittstelle";
    if (!d.serial.empty()) text += ", Seriennummer " + Utf8ToCp1252(d.serial);
    if (!d.driver.empty()) text += " (" + d.driver + ")";
    if (!d.present) text += " \x96 nicht angeschlossen";
    if (!d.accessible)
        text += " \x96 kein Zugriff: Benutzer muss der Gruppe " + (d.group.empty() ? "dialout" : d.group) +
                " angeh\xF6ren";
    return text;
}

std::string MappingTarget(const SerialDevice& d) {
    return d.stablePath.empty() ? d.path : d.stablePath;
}

std::string FindByStableName(const std::string& stableName, const std::string& root) {
    if (stableName.empty()) return {};
    for (const SerialDevice& d : ListSerialDevices(root))
        if (d.present && d.stablePath == stableName) return d.path;
    return {};
}

namespace {
// The four hex digits after key ("VID_") in id, upper case; empty when there are none.
std::string HexAfter(const std::string& id, const char* key) {
    std::string upper = id;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const std::size_t at = upper.find(key);
    if (at == std::string::npos) return {};
    const std::string digits = upper.substr(at + 4, 4);
    if (digits.size() != 4 || digits.find_first_not_of("0123456789ABCDEF") != std::string::npos) return {};
    return digits;
}
} // namespace

void ReadWindowsDeviceIds(const std::string& hardwareId, const std::string& instanceId, SerialDevice& d) {
    d.vendorId = HexAfter(hardwareId, "VID_");
    d.productId = HexAfter(hardwareId, "PID_");
    const std::size_t first = instanceId.find('\\');
    const std::size_t last = instanceId.rfind('\\');
    if (first == std::string::npos || first == last) return;
    const std::string bus = instanceId.substr(0, first);
    std::string serial;
    if (bus == "USB") {
        serial = instanceId.substr(last + 1); // "USB\VID_…&PID_…\SERIAL"
    } else {
        // "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000": the third part of the middle one.
        const std::string middle = instanceId.substr(first + 1, last - first - 1);
        const std::size_t plus = middle.find('+', middle.find('+') + 1);
        if (middle.find('+') != std::string::npos && plus != std::string::npos)
            serial = middle.substr(plus + 1);
    }
    if (serial.empty() || serial.find('&') != std::string::npos) return;
    d.serial = serial;
    d.stablePath = "usb-serial:" + serial;
}

} // namespace plat

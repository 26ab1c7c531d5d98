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
    if (!d.accessible)
        text += " \x96 kein Zugriff: Benutzer muss der Gruppe " + (d.group.empty() ? "dialout" : d.group) +
                " angeh\xF6ren";
    return text;
}

std::string MappingTarget(const SerialDevice& d) {
    return d.stablePath.empty() ? d.path : d.stablePath;
}

} // namespace plat

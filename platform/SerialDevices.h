#pragma once
// The serial devices of this machine, for choosing which one a COM number stands for. The Linux body reads
// sysfs (/sys/class/tty) and /dev below a root that tests point at a fake tree; the Windows body asks the
// system for its COM device names.

#include <string>
#include <vector>

namespace plat {

struct SerialDevice {
    std::string name;       // "ttyUSB0"
    std::string path;       // "/dev/ttyUSB0"
    std::string stablePath; // "/dev/serial/by-id/usb-FTDI_…-if00-port0", empty when udev gives none
    std::string driver;     // "ftdi_sio", "cdc_acm", "serial8250", …
    std::string vendor, product, serial; // from the USB device, where known
    std::string vendorId, productId;     // "0403", "6001"
    std::string group;                   // group owning the device node ("dialout")
    bool accessible = true;              // the user may open it for reading and writing
};

// Who asks: user id and every group id the process holds.
struct Identity {
    unsigned long uid = 0;
    std::vector<unsigned long> groups;
};
Identity CurrentIdentity();

// The serial devices below root ("" = "/"): every tty with a device behind it in sysfs, except the
// classic serial ports whose UART the kernel did not find; sorted by name.
std::vector<SerialDevice> ListSerialDevices(const std::string& root = {},
                                            const Identity& who = CurrentIdentity());

// One line for the user (cp1252): vendor, product, serial number and driver where known, and the missing
// permission.
std::string DescribeSerialDevice(const SerialDevice& device);
// The name to map a COM number to: the stable by-id path where there is one, else the device path.
std::string MappingTarget(const SerialDevice& device);

} // namespace plat

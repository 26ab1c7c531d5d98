#pragma once
// The serial devices of this machine, for choosing which one a COM number stands for. The Linux body reads
// sysfs (/sys/class/tty) and /dev below a root that tests point at a fake tree; the Windows body asks the
// device manager's Ports class (name, maker, USB ids, serial number, plugged in or not) and adds the COM
// names the system has besides (virtual ports).

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
    bool present = true;                 // plugged in (Windows also lists adapters it knew before)
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
// The name to map a COM number to: the stable name where there is one (Linux: the by-id path; Windows:
// "usb-serial:" and the USB serial number, so an adapter moved to another socket, where Windows may give it
// another COM number, is still found), else the device path.
std::string MappingTarget(const SerialDevice& device);
// The device path of the plugged-in device with that stable name; empty when none is.
std::string FindByStableName(const std::string& stableName, const std::string& root = {});

// Windows' ids of a device of the Ports class: the USB vendor and product ids from its hardware id
// ("USB\VID_0403&PID_6001&REV_0600", "FTDIBUS\COMPORT&VID_0403&PID_6001") and the serial number from its
// instance id ("USB\VID_2341&PID_0043\8573632383835", "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"); an id
// that Windows made up itself (it holds "&") is no serial number. Sets stablePath when there is one.
void ReadWindowsDeviceIds(const std::string& hardwareId, const std::string& instanceId, SerialDevice& device);

} // namespace plat

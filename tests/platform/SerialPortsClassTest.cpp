// What the Windows list makes of a device of the device manager's Ports class: USB ids from the hardware id,
// the serial number from the instance id (not one Windows made up), the stable name a COM number is mapped
// by, and the line the user reads. Pure text, so it runs everywhere; under wine the list itself is looked at.

#include "platform/SerialDevices.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(SerialPortsClass, IdsSerialNumbersAndTheUsersLine) {
    struct Case {
        const char* hardwareId;
        const char* instanceId;
        const char* vid;
        const char* pid;
        const char* serial;
    };
    const Case cases[] = {
        {"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043\\85736323838351F0D1C1", "2341", "0043",
         "85736323838351F0D1C1"},
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "0403", "6001",
         "A50285BIA"},
        // Windows' own instance number (no serial in the adapter): no stable name.
        {"USB\\VID_067B&PID_2303&REV_0300", "USB\\VID_067B&PID_2303\\5&2B5BE9D1&0&2", "067B", "2303", ""},
        {"usb\\vid_1a86&pid_7523", "USB\\VID_1A86&PID_7523\\6&1A2B3C4D&0&1", "1A86", "7523", ""},
        // A port on the main board: no USB ids, no serial number.
        {"ACPI\\PNP0501", "ACPI\\PNP0501\\1", "", "", ""},
        {"", "", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.instanceId);
        plat::SerialDevice d;
        d.name = d.path = "COM5";
        plat::ReadWindowsDeviceIds(c.hardwareId, c.instanceId, d);
        EXPECT_EQ(d.vendorId, c.vid);
        EXPECT_EQ(d.productId, c.pid);
        EXPECT_EQ(d.serial, c.serial);
        EXPECT_EQ(plat::MappingTarget(d), *c.serial ? "usb-serial:" + std::string(c.serial) : "COM5");
    }

    plat::SerialDevice ftdi;
    ftdi.name = ftdi.path = "COM7";
    ftdi.vendor = "FTDI";
    ftdi.product = "USB Serial Port (COM7)";
    ftdi.driver = "FTDIBUS";
    plat::ReadWindowsDeviceIds("FTDIBUS\\COMPORT&VID_0403&PID_6001",
                               "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", ftdi);
    EXPECT_EQ(plat::DescribeSerialDevice(ftdi),
              "FTDI USB Serial Port (COM7), Seriennummer A50285BIA (FTDIBUS)");
    ftdi.present = false;
    EXPECT_EQ(plat::DescribeSerialDevice(ftdi),
              "FTDI USB Serial Port (COM7), Seriennummer A50285BIA (FTDIBUS) \x96 nicht angeschlossen");
}

#ifdef _WIN32
// Under wine the Ports class is empty (its COM ports are DOS device names only); the list still has the test
// prefix's COM40, without a stable name, and a stable name no adapter has is found nowhere.
TEST(SerialPortsClass, TheListHasTheSystemsComNames) {
    const auto devices = plat::ListSerialDevices();
    const auto com40 =
        std::find_if(devices.begin(), devices.end(), [](const auto& d) { return d.name == "COM40"; });
    ASSERT_NE(com40, devices.end());
    EXPECT_TRUE(com40->present);
    EXPECT_EQ(plat::MappingTarget(*com40), "COM40");
    EXPECT_TRUE(std::is_sorted(devices.begin(), devices.end(), [](const auto& a, const auto& b) {
        return std::stoi(a.name.substr(3)) < std::stoi(b.name.substr(3));
    }));
    EXPECT_EQ(plat::FindByStableName("usb-serial:KEINADAPTER"), "");
}
#endif

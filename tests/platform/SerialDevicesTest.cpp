// The machine's serial devices, read from a fake sysfs and /dev tree.

#include "platform/SerialDevices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FakeTree {
public:
    FakeTree() : root(fs::temp_directory_path() / ("serialdevs-" + std::to_string(getpid()))) {
        fs::remove_all(root);
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/";
        UsbDevice(usb + "1-2", {{"idVendor", "0403"},
                                {"idProduct", "6001"},
                                {"manufacturer", "FTDI"},
                                {"product", "FT232R USB UART"},
                                {"serial", "A50285BI"}});
        Tty("ttyUSB0", usb + "1-2/1-2:1.0/ttyUSB0", "ftdi_sio");
        UsbDevice(usb + "1-3", {{"idVendor", "2341"}, {"idProduct", "0043"}});
        Tty("ttyACM0", usb + "1-3/1-3:1.0", "cdc_acm");
        Tty("ttyS0", "sys/devices/platform/serial8250", "serial8250", "4");
        Tty("ttyS1", "sys/devices/platform/serial8250", "serial8250", "0"); // no UART found
        fs::create_directories(root / "sys/class/tty/tty0");                // a virtual terminal
        Tty("ttyUSB1", usb + "1-2/1-2:1.0/ttyUSB1", "ftdi_sio");
        fs::remove(root / "dev/ttyUSB1"); // unplugged while listed: no node
        fs::create_directories(root / "dev/serial/by-id");
        fs::create_symlink("../../ttyUSB0",
                           root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    }
    ~FakeTree() { fs::remove_all(root); }

    fs::path root;

private:
    void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << '\n';
    }
    void UsbDevice(const std::string& dir, std::initializer_list<std::pair<const char*, const char*>> attrs) {
        for (auto [key, value] : attrs)
            Write(root / dir / key, value);
    }
    void Tty(const std::string& name, const std::string& deviceDir, const std::string& driver,
             const std::string& type = {}) {
        fs::create_directories(root / deviceDir);
        fs::create_directories(root / "sys/bus/drivers" / driver);
        if (!fs::exists(root / deviceDir / "driver"))
            fs::create_symlink(fs::relative(root / "sys/bus/drivers" / driver, root / deviceDir),
                               root / deviceDir / "driver");
        const fs::path cls = root / "sys/class/tty" / name;
        fs::create_directories(cls);
        fs::create_symlink(fs::relative(root / deviceDir, cls), cls / "device");
        if (!type.empty()) Write(cls / "type", type);
        Write(root / "dev" / name, "");
        fs::permissions(root / "dev" / name, fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::group_write);
        if (chown((root / "dev" / name).c_str(), 0, DialoutGid()) != 0) ADD_FAILURE() << "chown";
    }

public:
    static gid_t DialoutGid() {
        const struct group* g = getgrnam("dialout");
        return g ? g->gr_gid : 20;
    }
};

} // namespace

TEST(SerialDevices, ListsRealPortsWithStableNamesDescriptionsAndAccess) {
    const FakeTree tree;
    const plat::Identity outsider{1000, {1000}};
    const auto devices = plat::ListSerialDevices(tree.root.string(), outsider);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].name, "ttyACM0");
    EXPECT_EQ(devices[1].name, "ttyS0");
    EXPECT_EQ(devices[2].name, "ttyUSB0");

    const plat::SerialDevice& ftdi = devices[2];
    EXPECT_EQ(ftdi.path, "/dev/ttyUSB0");
    EXPECT_EQ(ftdi.stablePath, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(plat::MappingTarget(ftdi), ftdi.stablePath);
    EXPECT_EQ(ftdi.vendorId + ":" + ftdi.productId, "0403:6001");
    EXPECT_FALSE(ftdi.accessible);
    const std::string group =
        getgrgid(FakeTree::DialoutGid()) ? getgrgid(FakeTree::DialoutGid())->gr_name : "20";
    EXPECT_EQ(plat::DescribeSerialDevice(ftdi), "FTDI FT232R USB UART, Seriennummer A50285BI (ftdi_sio) \x96 "
                                                "kein Zugriff: Benutzer muss der Gruppe " +
                                                    group + " angeh\xF6ren");

    // Without names in the USB device its ids describe it; without a by-id link the node is the target.
    EXPECT_EQ(plat::DescribeSerialDevice(devices[0]).substr(0, 23), "USB 2341:0043 (cdc_acm)");
    EXPECT_EQ(plat::MappingTarget(devices[0]), "/dev/ttyACM0");
    EXPECT_EQ(devices[1].driver, "serial8250");

    // A member of the device's group, or its owner, may open it.
    const plat::Identity member{1000, {1000, FakeTree::DialoutGid()}};
    for (const auto& d : plat::ListSerialDevices(tree.root.string(), member))
        EXPECT_TRUE(d.accessible) << d.name;
    EXPECT_EQ(plat::DescribeSerialDevice(plat::ListSerialDevices(tree.root.string(), member)[2]),
              "FTDI FT232R USB UART, Seriennummer A50285BI (ftdi_sio)");
}

TEST(SerialDevices, AMachineWithoutSysfsHasNone) {
    EXPECT_TRUE(plat::ListSerialDevices("/nonexistent-root-for-test").empty());
}

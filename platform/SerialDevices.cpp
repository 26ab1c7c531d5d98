#include "platform/SerialDevices.h"

#include "platform/Paths.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace plat {
namespace {

// First line of a sysfs attribute, "" when it is missing.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// Device name -> its by-id path as the machine names it (the first in name order when there are several).
std::map<std::string, std::string> StableNames(const fs::path& root) {
    std::map<std::string, std::string> names;
    std::error_code ec;
    const fs::path byId = root / "dev/serial/by-id";
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(byId, ec))
        links.push_back(entry.path());
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links) {
        const fs::path target = fs::read_symlink(link, ec);
        if (ec) continue;
        names.emplace(target.filename().string(), "/dev/serial/by-id/" + link.filename().string());
    }
    return names;
}

// The USB device above a tty's device in sysfs, where there is one: its attributes.
void ReadUsbDevice(fs::path dir, const fs::path& sysRoot, SerialDevice& d) {
    for (; !dir.empty() && dir.string().rfind(sysRoot.string(), 0) == 0 && dir != sysRoot;
         dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor")) continue;
        d.vendorId = Attribute(dir / "idVendor");
        d.productId = Attribute(dir / "idProduct");
        d.vendor = Attribute(dir / "manufacturer");
        d.product = Attribute(dir / "product");
        d.serial = Attribute(dir / "serial");
        return;
    }
}

bool MayReadWrite(const struct stat& st, const Identity& who) {
    if (who.uid == 0) return true;
    if (st.st_uid == who.uid) return (st.st_mode & 0600) == 0600;
    if (std::find(who.groups.begin(), who.groups.end(), static_cast<unsigned long>(st.st_gid)) !=
        who.groups.end())
        return (st.st_mode & 0060) == 0060;
    return (st.st_mode & 0006) == 0006;
}

std::string GroupName(gid_t gid) {
    if (const struct group* g = getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

} // namespace

Identity CurrentIdentity() {
    Identity who;
    who.uid = geteuid();
    who.groups.push_back(getegid());
    const int n = getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> more(static_cast<std::size_t>(n));
        if (getgroups(n, more.data()) == n) who.groups.insert(who.groups.end(), more.begin(), more.end());
    }
    return who;
}

std::vector<SerialDevice> ListSerialDevices(const std::string& rootArg, const Identity& who) {
    const fs::path root = rootArg.empty() ? fs::path("/") : fs::path(rootArg);
    const fs::path sysRoot = fs::weakly_canonical(root / "sys");
    const auto stable = StableNames(root);
    std::vector<SerialDevice> devices;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", ec)) {
        const std::string name = entry.path().filename().string();
        const fs::path device = fs::canonical(entry.path() / "device", ec);
        if (ec) continue; // a virtual terminal, a pty: nothing behind it
        // A classic port the kernel reserves without having found its UART reads type 0.
        if (name.rfind("ttyS", 0) == 0 && Attribute(entry.path() / "type") == "0") continue;
        struct stat st {};
        if (stat((root / "dev" / name).c_str(), &st) != 0) continue; // no device node to open
        SerialDevice d;
        d.name = name;
        d.path = "/dev/" + name;
        if (auto it = stable.find(name); it != stable.end()) d.stablePath = it->second;
        const fs::path driver = fs::canonical(device / "driver", ec);
        if (!ec) d.driver = driver.filename().string();
        ReadUsbDevice(device, sysRoot, d);
        d.group = GroupName(st.st_gid);
        d.accessible = MayReadWrite(st, who);
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return a.name < b.name; });
    return devices;
}

} // namespace plat

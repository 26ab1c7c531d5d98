// Device lock files and naming the program that holds a device.

#include "serial/device/SxPortLock.h"
#include "serial/device/SxDevices.h"
#include "serial/errors/SxErrors.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace sx {

namespace {

std::mutex dirLock;
std::string lockDir = "/var/lock";

// A lock file this young and still empty is being written by its maker right now.
constexpr time_t FreshSeconds = 2;

bool ProcessAlive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

std::string ReadSmallFile(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return {};
    std::string s(limit, '\0');
    ssize_t n = 0;
    do {
        n = ::read(fd, s.data(), limit);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

std::string ProgramName(int pid) {
    std::string comm = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm", 64);
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    return comm;
}

std::string Describe(int pid) {
    const std::string name = ProgramName(pid);
    std::string s = "PID " + std::to_string(pid);
    if (!name.empty()) s += " (" + name + ")";
    return s;
}

// Any process with the device open, found through /proc/PID/fd: for a holder that keeps no lock
// file (one that only locks the descriptor or sets exclusive mode).
int ScanForHolder(const std::string& devicePath) {
    struct stat dev {};
    if (::stat(devicePath.c_str(), &dev) != 0 || !S_ISCHR(dev.st_mode)) return 0;
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    int found = 0;
    const int self = static_cast<int>(::getpid());
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev) {
                found = static_cast<int>(pid);
                break;
            }
        }
        ::closedir(fds);
        // Another process is the more useful answer; this one only if nobody else has it.
        if (found && found != self) break;
    }
    ::closedir(proc);
    return found;
}

// The device a path names, through symbolic links (/dev/serial/by-id/...): one lock file per device.
std::string Canonical(const std::string& devicePath) {
    char* real = ::realpath(devicePath.c_str(), nullptr);
    if (!real) return devicePath;
    std::string s(real);
    std::free(real);
    return s;
}

} // namespace

std::string SxLockDirectory() {
    std::lock_guard<std::mutex> g(dirLock);
    return lockDir;
}

void SxSetLockDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> g(dirLock);
    lockDir = dir;
}

std::string SxLockFilePath(const std::string& devicePath) {
    std::string name = devicePath;
    if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
    else if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    for (char& c : name)
        if (c == '/') c = '_';
    return SxLockDirectory() + "/LCK.." + name;
}

int SxLockFilePid(const std::string& lockPath) {
    const std::string s = ReadSmallFile(lockPath, 64);
    if (s.size() == 4 && (s[0] < ' ' || s[3] < ' ')) {
        // The older binary form: the PID as a native int.
        int pid = 0;
        std::memcpy(&pid, s.data(), 4);
        return pid > 0 ? pid : 0;
    }
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    long pid = 0;
    size_t digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 10; ++i, ++digits) pid = pid * 10 + (s[i] - '0');
    if (digits == 0 || pid <= 0 || pid > 0x3FFFFFFF) return 0;
    return static_cast<int>(pid);
}

TSxLockResult SxTakeLockFile(const std::string& devicePath) {
    TSxLockResult r;
    const std::string path = SxLockFilePath(Canonical(devicePath));
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            const ssize_t n = ::write(fd, text, 11);
            ::close(fd);
            if (n != 11) {
                ::unlink(path.c_str());
                r.Note = "lock file " + path + " not written: " + std::strerror(n < 0 ? errno : EIO);
                return r;
            }
            r.Path = path;
            return r;
        }
        const int e = errno;
        if (e != EEXIST) {
            // No lock directory or no right to write there: the port goes on, exclusive through
            // its own descriptor only.
            r.Note = "no lock file " + path + ": " + std::strerror(e);
            return r;
        }
        const int pid = SxLockFilePid(path);
        if (pid > 0 && ProcessAlive(pid)) {
            r.Code = ecAlreadyOpen;
            return r;
        }
        if (pid == 0) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && ::time(nullptr) - st.st_mtime < FreshSeconds) {
                r.Code = ecAlreadyOpen;
                return r;
            }
        }
        // Stale: its process is gone (or it names none and is old). Remove it and try again.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            r.Note = "stale lock file " + path + " not removed: " + std::strerror(errno);
            return r;
        }
    }
    r.Code = ecAlreadyOpen;
    return r;
}

void SxReleaseLockFile(const std::string& lockPath) {
    if (lockPath.empty()) return;
    if (SxLockFilePid(lockPath) == static_cast<int>(::getpid())) ::unlink(lockPath.c_str());
}

std::string SxPortHolder(const std::string& devicePath) {
    const int pid = SxLockFilePid(SxLockFilePath(Canonical(devicePath)));
    if (pid > 0 && ProcessAlive(pid)) return Describe(pid);
    const int scanned = ScanForHolder(devicePath);
    return scanned > 0 ? Describe(scanned) : std::string();
}

} // namespace sx

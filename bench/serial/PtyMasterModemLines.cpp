// Lets libserialport open the master end of a pseudo-terminal for the comparison benchmark.
//
// libserialport insists on reading the modem lines when it opens a device, and a pseudo-terminal has
// none: TIOCMGET and its siblings fail with ENOTTY on both ends. This definition of ioctl (it takes
// precedence over the C library's for every caller in the process) answers those four requests on a
// pseudo-terminal *master* with "no lines set" and passes everything else through unchanged. The
// program's own port and QSerialPort open the slave end, so their calls are never altered.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>

namespace {
using IoctlFn = int (*)(int, unsigned long, ...);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    static const IoctlFn real = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const int r = real(fd, request, arg);
    if (r == 0 || errno != ENOTTY) return r;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) return r;
    unsigned int ptyNumber;
    if (real(fd, TIOCGPTN, &ptyNumber) != 0) { // not a master: the original failure stands
        errno = ENOTTY;
        return r;
    }
    if (request == TIOCMGET) *static_cast<int*>(arg) = 0;
    return 0;
}

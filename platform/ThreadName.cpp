#include "platform/ThreadName.h"

#include <pthread.h>

namespace plat {

void NameThisThread(const std::string& name) {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str()); // the kernel keeps 15 bytes
#else
    (void)name;
#endif
}

std::string ThisThreadName() {
#if defined(__linux__)
    char buf[16] = {};
    if (::pthread_getname_np(::pthread_self(), buf, sizeof buf) == 0) return buf;
#endif
    return std::string();
}

} // namespace plat

#include "platform/SystemError.h"

#include <cstring>

namespace plat {

std::string ErrnoText(int number) {
    if (number <= 0) return std::string();
#if defined(__GLIBC__)
    const char* text = strerrordesc_np(number);
    return text ? std::string(text) : std::string();
#else
    std::string text = std::strerror(number);
    return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
#endif
}

std::string SystemErrorText(long long number) {
    if (number <= 0 || number > 0x7FFFFFFF) return std::string();
    return ErrnoText(static_cast<int>(number));
}

} // namespace plat

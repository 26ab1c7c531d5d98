// Windows: the system's message table (FormatMessageW), so a system error code reads as Windows words it
// (German on a German Windows), not as the C run-time's errno text of the same number.
#include "platform/Cp1252.h"
#include "platform/SystemError.h"

#include <windows.h>

#include <cstring>

namespace plat {

std::string ErrnoText(int number) {
    if (number <= 0) return std::string();
    std::string text = std::strerror(number);
    return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
}

std::string SystemErrorText(long long number) {
    if (number <= 0 || number > 0x7FFFFFFF) return std::string();
    wchar_t buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(number), 0, buf, sizeof buf / sizeof buf[0], nullptr);
    while (n > 0 && (buf[n - 1] == L'\n' || buf[n - 1] == L'\r' || buf[n - 1] == L' '))
        --n;
    return Utf16ToCp1252(std::u16string_view(reinterpret_cast<const char16_t*>(buf), n));
}

} // namespace plat

#pragma once
// The tools' 8-bit code page (Windows-1252) to and from UTF-16.

#include <string>
#include <string_view>

namespace plat {

// Every byte maps to one UTF-16 unit; the five bytes 1252 leaves undefined map to U+0081 etc.
std::u16string Cp1252ToUtf16(std::string_view text);
// Characters outside the code page become '?'.
std::string Utf16ToCp1252(std::u16string_view text);
char16_t Cp1252ToUnicode(unsigned char c);

} // namespace plat

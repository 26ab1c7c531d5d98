#pragma once
// cp1252 text helpers: case mapping and case-insensitive comparison as the tools' Windows code page does it.
// Only letters change case: a-z, the accented letters 0xE0..0xFE (not 0xF7), and š/œ/ž. ß and ÿ stay.

#include <cstddef>
#include <string>
#include <string_view>

namespace plat {

char AnsiUpper(char c);
char AnsiLower(char c);
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);

// <0, 0, >0 as a compares to b, both taken in upper case (byte order of the upper-case forms).
int AnsiCompareText(std::string_view a, std::string_view b);
bool AnsiSameText(std::string_view a, std::string_view b);

// Hash that agrees with AnsiSameText (equal without regard to case => equal hash).
std::size_t AnsiNoCaseHashOf(std::string_view text);

// Function objects for containers keyed by names that compare without regard to case.
struct AnsiNoCaseHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return AnsiNoCaseHashOf(text); }
};
struct AnsiNoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return AnsiSameText(a, b); }
};
struct AnsiNoCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return AnsiCompareText(a, b) < 0; }
};

// Leading and trailing blanks and control characters (bytes <= 0x20) removed.
std::string Trim(std::string_view text);

} // namespace plat

#include "platform/Text.h"

#include <array>
#include <cstdint>

namespace plat {
namespace {

struct CaseTables {
    std::array<unsigned char, 256> upper{};
    std::array<unsigned char, 256> lower{};
    CaseTables() {
        for (int c = 0; c < 256; ++c) upper[c] = lower[c] = static_cast<unsigned char>(c);
        auto pair = [this](int lo, int up) {
            upper[lo] = static_cast<unsigned char>(up);
            lower[up] = static_cast<unsigned char>(lo);
        };
        for (int c = 'a'; c <= 'z'; ++c) pair(c, c - 0x20);
        for (int c = 0xE0; c <= 0xFE; ++c)
            if (c != 0xF7) pair(c, c - 0x20); // 0xF7 is the division sign
        pair(0x9A, 0x8A); // š Š
        pair(0x9C, 0x8C); // œ Œ
        pair(0x9E, 0x8E); // ž Ž
    }
};

const CaseTables& Tables() {
    static const CaseTables tables;
    return tables;
}

inline unsigned char Up(char c) { return Tables().upper[static_cast<unsigned char>(c)]; }

} // namespace

char AnsiUpper(char c) { return static_cast<char>(Up(c)); }
char AnsiLower(char c) { return static_cast<char>(Tables().lower[static_cast<unsigned char>(c)]); }

std::string AnsiUpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AnsiUpper(c);
    return out;
}

std::string AnsiLowerCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AnsiLower(c);
    return out;
}

int AnsiCompareText(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = Up(a[i]), y = Up(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Up(a[i]) != Up(b[i])) return false;
    return true;
}

std::size_t AnsiNoCaseHashOf(std::string_view text) {
    // FNV-1a over the upper-case bytes.
    uint64_t h = 1469598103934665603ull;
    for (char c : text) {
        h ^= Up(c);
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

std::string Trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 0x20) --e;
    return std::string(text.substr(b, e - b));
}

} // namespace plat

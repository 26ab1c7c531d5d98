#include "config/VamUtils.h"

#include <chrono>

#include "platform/DateTime.h"
#include "platform/Text.h"

uint32_t CalcCrc(const void* data, std::size_t length) {
    // Bits 8..23 of the register hold the CRC; the polynomial is applied shifted left by 8. Bit 24 is left in
    // place, so the whole result can exceed 16 bits; callers take the low 16.
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t reg = 0;
    for (std::size_t i = 0; i < length; ++i) {
        reg |= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            reg <<= 1;
            if (reg & 0x1000000u) reg ^= 0x102100u;
        }
    }
    return reg >> 8;
}

uint16_t CalcCrc16(std::string_view bytes) { return uint16_t(CalcCrc(bytes.data(), bytes.size())); }

int MSecsSinceMidnight() { return plat::MSecsSinceMidnight(std::chrono::system_clock::now()); }

namespace {
const char kHex[] = "0123456789ABCDEF";
}

std::string EscapedText(std::string_view text) {
    const std::string trimmed = plat::Trim(text);
    std::string out;
    out.reserve(trimmed.size());
    for (char ch : trimmed) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c <= 0x7F) {
            out += ch;
        } else {
            out += '~';
            out += kHex[c >> 4];
            out += kHex[c & 15];
            out += '~';
        }
    }
    return out;
}

std::string FilteredText(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c >= '0' && c <= 'z') out += c;
    return out;
}

std::string HexText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

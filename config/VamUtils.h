#pragma once
// Small utilities shared by the system module file and the port test console.

#include <cstdint>
#include <string>
#include <string_view>

// CRC with polynomial 0x1021, initial 0, no final XOR, no appended zero bytes: the register's bits 8.. as a
// whole (callers use the low 16 bits). "abc" gives 0x1EE4; an empty block gives 0.
uint32_t CalcCrc(const void* data, std::size_t length);
uint16_t CalcCrc16(std::string_view bytes);
inline uint16_t CalcCrc16(const void* data, std::size_t length) { return uint16_t(CalcCrc(data, length)); }

// Milliseconds since midnight of the local time now.
int MSecsSinceMidnight();

// Trimmed; bytes 0x20..0x7F stay, every other becomes "~XX~" (upper-case hex).
std::string EscapedText(std::string_view text);
// Only the characters "0".."z" (0x30..0x7A), in order.
std::string FilteredText(std::string_view text);
// Every byte as two upper-case hex digits, no separators.
std::string HexText(std::string_view bytes);

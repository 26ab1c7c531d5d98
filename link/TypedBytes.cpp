// The console's input box: typed text to bytes, in the modem strings' notation plus hex bytes.

#include "link/TypedBytes.h"

namespace console {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte of two hex digits at typed[i], or -1.
int HexByte(const std::string& typed, size_t i) {
    if (i + 1 >= typed.size()) return -1;
    const int hi = HexDigit(typed[i]), lo = HexDigit(typed[i + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

} // namespace

std::vector<TTypedPart> ParseTypedBytes(const std::string& typed) {
    std::vector<TTypedPart> parts(1);
    for (size_t i = 0; i < typed.size(); ++i) {
        const char c = typed[i];
        std::string& out = parts.back().Bytes;
        if (c == '~') {
            parts.back().PauseAfter = true;
            parts.emplace_back();
        } else if (c == '^' && i + 1 < typed.size()) {
            const int code = static_cast<unsigned char>(typed[i + 1] >= 'a' && typed[i + 1] <= 'z'
                                                            ? typed[i + 1] - 32
                                                            : typed[i + 1]) - 64;
            if (code >= 0 && code <= 31) {
                out += static_cast<char>(code);
                ++i;
            } else {
                out += c;
            }
        } else if (c == '$' && HexByte(typed, i + 1) >= 0) {
            out += static_cast<char>(HexByte(typed, i + 1));
            i += 2;
        } else if (c == '\\' && i + 1 < typed.size() && (typed[i + 1] == 'x' || typed[i + 1] == 'X') &&
                   HexByte(typed, i + 2) >= 0) {
            out += static_cast<char>(HexByte(typed, i + 2));
            i += 3;
        } else {
            out += c;
        }
    }
    return parts;
}

} // namespace console

#pragma once
// Bytes typed by value in the console's input box, in the notation of the modem's command strings plus hex
// bytes: "^M" is a control character (the character's upper-case code minus 64, here CR), "~" a pause,
// "$0D" and "\x0D" a byte by its two hexadecimal digits. A "^", "$" or "\" that starts none of these is
// sent as itself ("$7E" sends a "~").

#include <string>
#include <vector>

namespace console {

struct TTypedPart {
    std::string Bytes;  // sent in one write
    bool PauseAfter = false; // a "~" follows: wait before the next part
};

// The typed text as parts to send, split at the pauses; never empty (an empty text is one empty part).
std::vector<TTypedPart> ParseTypedBytes(const std::string& typed);

} // namespace console

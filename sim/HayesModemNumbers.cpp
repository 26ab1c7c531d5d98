// The dialled-number table (what a number's last digits lead to) and the far-end fault names. The modem
// asks it when it dials; the help texts, ATI7 and the modem programs print it.

#include "sim/HayesModem.h"

namespace sim {

namespace {

constexpr const char* LapM = "PROTOCOL: LAP-M";
constexpr const char* Mnp = "PROTOCOL: ALT";
constexpr const char* V42bis = "COMPRESSION: V.42BIS";
constexpr const char* Class5 = "COMPRESSION: CLASS 5";

TDialOutcome Con(int32_t speed, const char* protocol, const char* compression, TFault fault = TFault::None) {
    return TDialOutcome{TDialOutcome::Connect, speed, protocol, compression, fault};
}
TDialOutcome Fail(TDialOutcome::TKind kind) {
    return TDialOutcome{kind, 0, nullptr, nullptr, TFault::None};
}

std::string Digits(const std::string& s) {
    std::string d;
    for (char c : s)
        if (c >= '0' && c <= '9') d += c;
    return d;
}

} // namespace

const std::vector<TNumberEntry>& NumberTable() {
    static const std::vector<TNumberEntry> table = {
        {"10", Fail(TDialOutcome::Busy), "BUSY (line busy)"},
        {"11", Fail(TDialOutcome::NoCarrier), "NO CARRIER (answered, the handshake fails)"},
        {"12", Fail(TDialOutcome::NoDialtone), "NO DIALTONE (no dial tone)"},
        {"13", Fail(TDialOutcome::Voice), "VOICE (a person answers)"},
        {"14", Fail(TDialOutcome::NoAnswer), "no answer: NO CARRIER once S7 has run out"},
        {"20", Con(1200, nullptr, nullptr), "CONNECT 1200"},
        {"21", Con(2400, nullptr, nullptr), "CONNECT 2400"},
        {"22", Con(9600, LapM, nullptr), "PROTOCOL: LAP-M, CONNECT 9600"},
        {"23", Con(14400, LapM, V42bis), "PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 14400"},
        {"24", Con(19200, nullptr, nullptr), "CONNECT 19200 (no error correction)"},
        {"25", Con(28800, Mnp, Class5), "PROTOCOL: ALT, COMPRESSION: CLASS 5, CONNECT 28800"},
        {"26", Con(33600, LapM, V42bis), "PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 33600"},
        {"30", Con(19200, LapM, V42bis, TFault::NoAnswer), "CONNECT 19200, the far end never answers"},
        {"31", Con(19200, LapM, V42bis, TFault::Nak), "CONNECT 19200, the far end answers NAK"},
        {"32", Con(19200, LapM, V42bis, TFault::BadChecksum),
         "CONNECT 19200, the far end sends bad checksums"},
        {"33", Con(19200, LapM, V42bis, TFault::LateAnswer), "CONNECT 19200, the far end answers too late"},
        {"34", Con(19200, LapM, V42bis, TFault::CarrierDrop),
         "CONNECT 19200, the far end hangs up mid-session"},
        {"", Con(19200, LapM, V42bis),
         "any other number: PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 19200"},
    };
    return table;
}

TDialOutcome DialOutcomeFor(const std::string& dialString) {
    const std::string d = Digits(dialString);
    if (d.empty()) return Fail(TDialOutcome::NoAnswer);
    for (const auto& e : NumberTable()) {
        const std::string ending = e.Ending;
        if (ending.empty()) return e.Outcome;
        if (d.size() >= ending.size() && d.compare(d.size() - ending.size(), ending.size(), ending) == 0)
            return e.Outcome;
    }
    return Con(19200, LapM, V42bis);
}

std::vector<std::string> NumberTableText() {
    std::vector<std::string> lines;
    for (const auto& e : NumberTable()) {
        const std::string ending = e.Ending;
        lines.push_back(ending.empty() ? std::string("  else    ") + e.Text
                                       : "  ..." + ending + "   " + e.Text);
    }
    return lines;
}

const char* FaultName(TFault fault) {
    switch (fault) {
    case TFault::None:
        return "keiner";
    case TFault::NoAnswer:
        return "stumm";
    case TFault::Nak:
        return "nak";
    case TFault::BadChecksum:
        return "pruefsumme";
    case TFault::LateAnswer:
        return "spaet";
    case TFault::CarrierDrop:
        return "auflegen";
    }
    return "keiner";
}

std::optional<TFault> FaultFromName(const std::string& name) {
    for (TFault f : {TFault::None, TFault::NoAnswer, TFault::Nak, TFault::BadChecksum, TFault::LateAnswer,
                     TFault::CarrierDrop})
        if (name == FaultName(f)) return f;
    // The names with their umlauts, as a German user types them (UTF-8 on the command line).
    if (name == "pr\u00fcfsumme") return TFault::BadChecksum;
    if (name == "sp\u00e4t") return TFault::LateAnswer;
    return std::nullopt;
}

} // namespace sim

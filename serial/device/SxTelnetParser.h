#pragma once
// The Telnet side of a network serial port: a byte-at-a-time state machine that splits what a
// terminal server sends into line data, answers to option negotiation and COM-PORT-OPTION
// sub-negotiations (RFC 854/855/856/858/2217), plus the encoders for what the client sends.
// It has no I/O of its own, so that scripted and random byte streams can be fed to it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sx {

namespace tn {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t Binary = 0, Echo = 1, Sga = 3, ComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with the command + 100.
enum : uint8_t {
    cpSignature = 0,
    cpSetBaud = 1,
    cpSetDataSize = 2,
    cpSetParity = 3,
    cpSetStopSize = 4,
    cpSetControl = 5,
    cpNotifyLineState = 6,
    cpNotifyModemState = 7,
    cpFlowSuspend = 8,
    cpFlowResume = 9,
    cpSetLineStateMask = 10,
    cpSetModemStateMask = 11,
    cpPurgeData = 12,
};
constexpr uint8_t cpServerOffset = 100;

// SET-CONTROL values.
enum : uint8_t {
    ctlFlowNone = 1,
    ctlFlowXonXoff = 2,
    ctlFlowHardware = 3,
    ctlBreakOn = 5,
    ctlBreakOff = 6,
    ctlDtrOn = 8,
    ctlDtrOff = 9,
    ctlRtsOn = 11,
    ctlRtsOff = 12,
    ctlInFlowNone = 14,
    ctlInFlowXonXoff = 15,
    ctlInFlowHardware = 16,
};
// PURGE-DATA values: the server's receive buffer, its transmit buffer, both.
constexpr uint8_t purgeRx = 1, purgeTx = 2, purgeBoth = 3;
} // namespace tn

// One COM-PORT-OPTION sub-negotiation from the server: the command as the client sent it (the
// server's code minus 100) and its value bytes (unescaped).
struct TSxComPortReply {
    uint8_t Command = 0;
    std::vector<uint8_t> Value;
};

// What one Feed produced.
struct TSxTelnetOutput {
    std::vector<uint8_t> Data;               // line data for the reader
    std::vector<uint8_t> Reply;              // negotiation answers to send back to the server
    std::vector<TSxComPortReply> ComPort;    // COM-PORT-OPTION sub-negotiations in arrival order
    void Clear() {
        Data.clear();
        Reply.clear();
        ComPort.clear();
    }
};

class TSxTelnetParser {
public:
    // A sub-negotiation longer than this is a broken server: it is dropped and the parser goes
    // back to plain data, so that one lost IAC SE cannot swallow the line for ever.
    static constexpr size_t MaxSubnegotiation = 64;

    // The client's opening request: WILL COM-PORT-OPTION, binary both ways, suppress-go-ahead
    // both ways. Marks these as asked, so that the server's agreement is not answered again.
    std::vector<uint8_t> Start();
    // Parses n bytes from the server, appending to out.
    void Feed(const uint8_t* p, size_t n, TSxTelnetOutput& out);

    // Negotiated state. Local = this side does the option (the server said DO), remote = the
    // server does it (the server said WILL).
    bool ComPortOn() const { return local_[tn::ComPort]; }
    bool ComPortRefused() const { return refusedLocal_[tn::ComPort]; }
    bool ComPortAnswered() const { return ComPortOn() || ComPortRefused(); }
    bool LocalOn(uint8_t opt) const { return local_[opt]; }
    bool RemoteOn(uint8_t opt) const { return remote_[opt]; }
    // True between commands: the next byte is taken as data unless it is IAC.
    bool InData() const { return state_ == St::Data; }
    // Sub-negotiations dropped for being too long or cut by a stray IAC command.
    uint32_t Malformed() const { return malformed_; }

private:
    enum class St : uint8_t { Data, Iac, Will, Wont, Do, Dont, SbOpt, SbData, SbIac };
    static bool AcceptLocal(uint8_t opt) { return opt == tn::Binary || opt == tn::Sga || opt == tn::ComPort; }
    static bool AcceptRemote(uint8_t opt) { return opt == tn::Binary || opt == tn::Sga; }
    void Negotiate(St verb, uint8_t opt, TSxTelnetOutput& out);
    void FinishSub(TSxTelnetOutput& out);

    St state_ = St::Data;
    uint8_t sbOpt_ = 0;
    bool sbOverflow_ = false;
    std::vector<uint8_t> sb_;
    bool local_[256] = {};
    bool remote_[256] = {};
    bool askedLocal_[256] = {};   // we sent WILL and wait for DO/DONT
    bool askedRemote_[256] = {};  // we sent DO and wait for WILL/WONT
    bool refusedLocal_[256] = {}; // the server answered our WILL with DONT
    uint32_t malformed_ = 0;
};

// Doubles every 0xFF of line data for sending.
void SxTelnetEscape(const uint8_t* p, size_t n, std::vector<uint8_t>& out);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
std::vector<uint8_t> SxComPortCommand(uint8_t command, const std::vector<uint8_t>& value);
// The 32-bit value of SET-BAUDRATE in network order.
std::vector<uint8_t> SxBaudValue(uint32_t baud);
uint32_t SxBaudFromValue(const std::vector<uint8_t>& value); // 0 unless four bytes

} // namespace sx

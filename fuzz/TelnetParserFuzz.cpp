// Feeds the network port's Telnet parser an arbitrary server byte stream, once whole and once cut
// into arbitrary chunks. Both must give the same data, answers and notifications; answers are only
// well-formed negotiation triples; nothing grows beyond the input; and whatever state the stream
// left, a run of plain bytes brings the parser back to line data, after which 0xFF escapes decode
// exactly. The client's escaping must round-trip through the parser.

#include "serial/device/SxTelnetParser.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace sx;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "telnet fuzz: %s\n", what);
        std::abort();
    }
}

bool Same(const TSxTelnetOutput& a, const TSxTelnetOutput& b) {
    if (a.Data != b.Data || a.Reply != b.Reply || a.ComPort.size() != b.ComPort.size()) return false;
    for (size_t i = 0; i < a.ComPort.size(); ++i)
        if (a.ComPort[i].Command != b.ComPort[i].Command || a.ComPort[i].Value != b.ComPort[i].Value) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t cutSeed = data[0];
    const uint8_t* p = data + 1;
    const size_t n = size - 1;

    TSxTelnetParser whole, cut;
    const bool started = cutSeed & 1; // with or without our own requests outstanding
    if (started) {
        whole.Start();
        cut.Start();
    }
    TSxTelnetOutput a, b;
    whole.Feed(p, n, a);
    size_t pos = 0, step = 1 + (cutSeed >> 1) % 7;
    while (pos < n) {
        const size_t len = std::min(step, n - pos);
        cut.Feed(p + pos, len, b);
        pos += len;
        step = 1 + (step * 5 + p[pos - 1]) % 13;
    }
    Check(Same(a, b), "chunked feed differs from whole feed");
    Check(a.Data.size() <= n, "more data than input");

    size_t commands = 0;
    for (size_t i = 0; i + 1 < n; ++i)
        if (p[i] == tn::IAC && p[i + 1] >= tn::WILL && p[i + 1] <= tn::DONT) ++commands;
    Check(a.Reply.size() % 3 == 0 && a.Reply.size() / 3 <= commands, "answers not bounded by requests");
    for (size_t i = 0; i < a.Reply.size(); i += 3)
        Check(a.Reply[i] == tn::IAC && a.Reply[i + 1] >= tn::WILL && a.Reply[i + 1] <= tn::DONT, "malformed answer");
    for (const auto& c : a.ComPort)
        Check(c.Value.size() < TSxTelnetParser::MaxSubnegotiation, "notification over its bound");
    if (whole.ComPortOn()) Check(!whole.ComPortRefused(), "option both on and refused");

    // Resynchronisation.
    const std::string plain(TSxTelnetParser::MaxSubnegotiation + 2, 'a');
    TSxTelnetOutput r;
    whole.Feed(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), r);
    Check(whole.InData(), "not back to data after a run of plain bytes");
    r.Clear();
    const uint8_t probe[] = {'1', tn::IAC, tn::IAC, '2'};
    whole.Feed(probe, sizeof probe, r);
    Check(r.Data.size() == 3 && r.Data[0] == '1' && r.Data[1] == 0xFF && r.Data[2] == '2', "escape not decoded after resync");
    Check(r.Reply.empty() && r.ComPort.empty(), "spurious output after resync");

    // The client's escaping round-trips.
    std::vector<uint8_t> wire;
    SxTelnetEscape(p, n, wire);
    TSxTelnetParser fresh;
    TSxTelnetOutput e;
    fresh.Feed(wire.data(), wire.size(), e);
    Check(e.Data.size() == n && std::equal(e.Data.begin(), e.Data.end(), p), "escaped data does not round-trip");
    Check(e.Reply.empty() && e.ComPort.empty(), "escaped data read as commands");
    return 0;
}

// Whatever the modem sends while a dial runs, the engine must not crash, overflow or stick: every
// conversation below ends with the engine idle and exactly the events listed.

#include "ModemFixture.h"

using namespace sx;
using namespace sxtest;

namespace {

struct BadInput {
    const char* Name;
    std::vector<std::string> Chunks; // one read each, a tick apart
    bool Vanish;                     // the modem is gone afterwards (the line hangs up)
    std::vector<std::string> Events; // as "Name" or "Name data"
};

std::vector<std::string> Bytes(const std::string& s)
{
    std::vector<std::string> v;
    for (char c : s) v.emplace_back(1, c);
    return v;
}

std::vector<std::string> EndlessDigits()
{
    std::vector<std::string> v{"CONNECT "};
    for (int i = 0; i < 40; ++i) v.push_back(std::string(1000, static_cast<char>('0' + i % 10)));
    return v;
}

} // namespace

TEST_F(ModemTest, BadInputNeverCrashesOverflowsOrSticks)
{
    const std::string nul(1, '\0');
    const std::vector<std::string> connected = {"ModemConnect", "GotLineSpeed 19200", "ModemIsConnected"};
    const BadInput cases[] = {
        {"reply split over many reads", Bytes("\r\nCONNECT 19200\r\n"), false, connected},
        {"garbage and NUL bytes between replies",
         {nul + nul + "\xff\xfe" + "garbage" + nul + "\r\n", "\r\n\x01\x02" + nul + "\r\nNO CARRIER\r\n"},
         false,
         {"ConnectFailed", "ModemNoCarrier"}},
        {"a NUL inside a reply is no reply", {"BU" + nul + "SY\r\n", "\r\nBUSY\r\n"}, false,
         {"ConnectFailed", "ModemBusy"}},
        {"reply line far longer than the buffer", {std::string(3000, 'x'), std::string(3000, 'y') + "\r\nCONNECT 19200\r\n"},
         false, connected},
        {"more input than the ring holds", {std::string(20000, 'z') + "\r\nCONNECT 19200\r\n"}, false, connected},
        {"endless speed digits", EndlessDigits(), false, {"ModemConnect", "ModemIsConnected"}},
        {"CONNECT without digits", {"\r\nCONNECT\r\n"}, false, {"ModemConnect", "GotLineSpeed 300", "ModemIsConnected"}},
        {"speed ended by a NUL", {"CONNECT 96" + nul + "00\r\n"}, false,
         {"ModemConnect", "GotLineSpeed 96", "ModemIsConnected"}},
        {"replies in lower case", {"\r\nconnect 19200\r\n"}, false, connected},
        {"a second CONNECT is not followed", {"CONNECT 19200\r\nCONNECT 1200\r\nBUSY\r\n"}, false, connected},
        {"modem gone while dialling", {"AT"}, true, {}},
        {"modem gone before the speed", {"CONNECT"}, true, {"ModemConnect"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        line->Plug();
        seen.clear();
        StartDial();
        for (const auto& chunk : c.Chunks) {
            Reply(chunk);
            Ticks(1);
        }
        if (c.Vanish) {
            line->Unplug();
            Round(evHangup);
            gui.Pump();
            EXPECT_FALSE(port.Open());
            EXPECT_FALSE(modem.Started());
        }
        // Long enough for every time-out but the dial countdown's.
        Ticks(60);
        std::vector<std::string> got;
        for (const auto& e : seen) got.push_back(e.Data || e.Name == "GotLineSpeed" ? e.Name + " " + std::to_string(e.Data) : e.Name);
        EXPECT_EQ(got, c.Events);
        EXPECT_EQ(modem.State(), esIdle);
        EXPECT_FALSE(modem.IsConnecting());
        // The line is usable afterwards: the cancel string and nothing else went out.
        const std::string sent = Sent();
        EXPECT_TRUE(sent.empty() || sent == "\r") << sent;
    }
}

// The Telnet parser of network ports on scripted server byte streams: negotiation without loops,
// line data with escaped 0xFF and COM port notifications in any split, broken sub-negotiations.

#include "serial/device/SxTelnetParser.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

using namespace sx;

namespace {

std::vector<uint8_t> B(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TSxTelnetOutput FeedAll(TSxTelnetParser& p, const std::string& s)
{
    TSxTelnetOutput out;
    const auto b = B(s);
    p.Feed(b.data(), b.size(), out);
    return out;
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

} // namespace

TEST(TelnetParser, NegotiatesComPortBinaryAndSgaAndAnswersEachRequestOnce)
{
    TSxTelnetParser p;
    EXPECT_EQ(Str(p.Start()), "\xff\xfb\x2c\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03"s);
    EXPECT_FALSE(p.ComPortAnswered());

    struct Step {
        const char* What;
        std::string Server;
        std::string Reply;
    };
    const Step steps[] = {
        // Agreement to our own requests is not answered again.
        {"server agrees", "\xff\xfd\x2c\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03"s, ""},
        {"echo refused", "\xff\xfb\x01", "\xff\xfe\x01"},
        {"terminal type refused", std::string("\xff\xfd\x18"), "\xff\xfc\x18"},
        {"repeated agreement ignored", "\xff\xfd\x2c\xff\xfb\x00"s, ""},
        {"binary switched off by the server", "\xff\xfe\x00"s, "\xff\xfc\x00"s},
        {"and off again: no answer", "\xff\xfe\x00"s, ""},
        {"server stops binary", "\xff\xfc\x00"s, "\xff\xfe\x00"s},
        {"server offers binary again", "\xff\xfb\x00"s, "\xff\xfd\x00"s},
        {"server wants us to do binary again", std::string("\xff\xfd\x00", 3), std::string("\xff\xfb\x00", 3)},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.What);
        const TSxTelnetOutput out = FeedAll(p, s.Server);
        EXPECT_EQ(Str(out.Reply), s.Reply);
        EXPECT_TRUE(out.Data.empty());
        if (std::string(s.What) == "server agrees") {
            EXPECT_TRUE(p.ComPortOn());
            EXPECT_TRUE(p.LocalOn(tn::Binary));
            EXPECT_TRUE(p.RemoteOn(tn::Binary));
            EXPECT_TRUE(p.RemoteOn(tn::Sga));
        }
    }
    EXPECT_TRUE(p.ComPortOn());
    EXPECT_TRUE(p.LocalOn(tn::Binary));
    EXPECT_TRUE(p.RemoteOn(tn::Binary));

    TSxTelnetParser refused;
    refused.Start();
    const TSxTelnetOutput out = FeedAll(refused, "\xff\xfe\x2c");
    EXPECT_TRUE(out.Reply.empty());
    EXPECT_TRUE(refused.ComPortRefused());
    EXPECT_FALSE(refused.ComPortOn());
}

// The same stream cut at every place, and fed byte by byte, gives the same data and notifications.
TEST(TelnetParser, DataAndNotificationsSurviveEverySplit)
{
    const std::string stream = std::string("a\xff\xff" "b") + "\xff\xfa\x2c\x6b\xa1\xff\xf0" + "c" +
                               std::string("\xff\xfa\x2c\x65\x00\x00\xff\xff\xff\xff\xff\xf0", 12) + "\xff\xf1" +
                               "\xff\xff\xff\xff" + std::string("\xff\xfa\x18\x00xterm\xff\xf0", 11) + "d";
    auto check = [](const TSxTelnetOutput& out) {
        EXPECT_EQ(Str(out.Data), "a\xff" "bc\xff\xff" "d");
        ASSERT_EQ(out.ComPort.size(), 2u);
        EXPECT_EQ(out.ComPort[0].Command, tn::cpNotifyModemState);
        EXPECT_EQ(Str(out.ComPort[0].Value), "\xa1");
        EXPECT_EQ(out.ComPort[1].Command, tn::cpSetBaud);
        EXPECT_EQ(SxBaudFromValue(out.ComPort[1].Value), 65535u);
        EXPECT_TRUE(out.Reply.empty());
    };
    const auto b = B(stream);
    for (size_t cut = 0; cut <= b.size(); ++cut) {
        SCOPED_TRACE(cut);
        TSxTelnetParser p;
        TSxTelnetOutput out;
        p.Feed(b.data(), cut, out);
        p.Feed(b.data() + cut, b.size() - cut, out);
        check(out);
        EXPECT_TRUE(p.InData());
    }
    TSxTelnetParser p;
    TSxTelnetOutput out;
    for (uint8_t c : b) p.Feed(&c, 1, out);
    check(out);
}

TEST(TelnetParser, BrokenSubnegotiationsAreDroppedAndTheStreamResynchronises)
{
    struct Case {
        const char* What;
        std::string Stream;
        std::string Data;
        std::string Reply;
        size_t Notifications;
    };
    const Case cases[] = {
        {"IAC SE lost, a command follows", std::string("\xff\xfa\x2c\x6b\x10\xff\xfb\x01xy"), "xy", "\xff\xfe\x01", 0},
        {"sub-negotiation never closed", "\xff\xfa\x2c\x6b" + std::string(200, 'q') + "\xff\xff" "z",
         std::string(200 - TSxTelnetParser::MaxSubnegotiation, 'q') + "\xff" "z", "", 0},
        {"IAC SB IAC IAC", "\xff\xfa\xff\xff" "k", "\xff" "k", "", 0},
        {"client codes from the server are ignored", std::string("\xff\xfa\x2c\x01\x00\x00\x25\x80\xff\xf0", 10) + "m",
         "m", "", 0},
        {"an empty sub-negotiation", "\xff\xfa\x2c\xff\xf0n", "n", "", 0},
        {"a stray SE and NOP", "\xff\xf0\xff\xf1o", "o", "", 0},
        {"a good one after a broken one", std::string("\xff\xfa\x2c\x6b\x10\xff\xf1") + "\xff\xfa\x2c\x6b\x30\xff\xf0p",
         "p", "", 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.What);
        TSxTelnetParser p;
        const TSxTelnetOutput out = FeedAll(p, k.Stream);
        EXPECT_EQ(Str(out.Data), k.Data);
        EXPECT_EQ(Str(out.Reply), k.Reply);
        EXPECT_EQ(out.ComPort.size(), k.Notifications);
        EXPECT_TRUE(p.InData());
    }
}

TEST(TelnetParser, ClientCommandsEscapeTheirValuesAndLineData)
{
    EXPECT_EQ(Str(SxComPortCommand(tn::cpSetBaud, SxBaudValue(0x00FF00FFu))),
              std::string("\xff\xfa\x2c\x01\x00\xff\xff\x00\xff\xff\xff\xf0", 12));
    EXPECT_EQ(Str(SxComPortCommand(tn::cpFlowSuspend, {})), "\xff\xfa\x2c\x08\xff\xf0");
    std::vector<uint8_t> wire;
    const std::string data = "\xff" "a\xff\xff";
    SxTelnetEscape(reinterpret_cast<const uint8_t*>(data.data()), data.size(), wire);
    EXPECT_EQ(Str(wire), "\xff\xff" "a\xff\xff\xff\xff");
    // What is escaped comes back as it was.
    TSxTelnetParser p;
    TSxTelnetOutput out;
    p.Feed(wire.data(), wire.size(), out);
    EXPECT_EQ(Str(out.Data), data);
    EXPECT_EQ(SxBaudFromValue({1, 2, 3}), 0u);
}

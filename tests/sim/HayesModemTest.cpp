// The simulated modem in virtual time: its command set, the number table, data mode with the escape
// sequence, and every way a call ends.

#include "sim/HayesModem.h"
#include "sim/FarEnds.h"
#include "sim/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace sim;

namespace {

// A far end that records what happens to it and sends or hangs up when the test says so.
struct TRecord {
    int Made = 0;
    std::optional<TFault> Fault;
    int Connects = 0;
    int Disconnects = 0;
    std::string Received;
    TSendBytes Send;
    bool Hangup = false;
};

class TRecordingFarEnd : public IFarEnd {
public:
    explicit TRecordingFarEnd(TRecord& r) : r_(r) {}
    void Connected(TSendBytes send, int64_t) override {
        ++r_.Connects;
        r_.Send = std::move(send);
    }
    void Receive(const std::string& bytes, int64_t) override { r_.Received += bytes; }
    void ReceiveBreak(int lengthMs, int64_t) override { r_.Received += "[BREAK " + std::to_string(lengthMs) + "]"; }
    void Advance(int64_t) override {}
    void Disconnected() override {
        ++r_.Disconnects;
        r_.Send = nullptr;
    }
    bool WantsHangup() const override { return r_.Hangup; }

private:
    TRecord& r_;
};

class Modem {
public:
    explicit Modem(TModemOptions options = {}, TFarEndFactory factory = {})
        : m(factory ? std::move(factory) : Recording(), options) {
        m.SetOutput([this](const std::string& b) { out += b; });
        m.SetOnLines([this](uint8_t l) { lineChanges.push_back(l); });
    }
    TFarEndFactory Recording() {
        return [this](TFault f) -> std::unique_ptr<IFarEnd> {
            ++far.Made;
            far.Fault = f;
            return std::make_unique<TRecordingFarEnd>(far);
        };
    }
    void Send(const std::string& s) { m.Receive(s, now); }
    void Run(int64_t ms) {
        now += ms;
        m.Advance(now);
    }
    // Takes the output so far.
    std::string Take() {
        std::string s;
        s.swap(out);
        return s;
    }
    // Advances from due step to due step until pred holds or limitMs have passed; false if it never held.
    bool RunUntil(const std::function<bool()>& pred, int64_t limitMs) {
        const int64_t end = now + limitMs;
        while (!pred()) {
            const int64_t due = m.NextDueMs();
            if (due < 0 || due > end) {
                now = end;
                m.Advance(now);
                return pred();
            }
            now = std::max(now, due);
            m.Advance(now);
        }
        return true;
    }
    bool RunUntilOutput(const std::string& text, int64_t limitMs) {
        return RunUntil([&] { return out.find(text) != std::string::npos; }, limitMs);
    }
    bool Dcd() const { return (m.Lines() & mlDCD) != 0; }

    THayesModem m;
    TRecord far;
    std::string out;
    std::vector<uint8_t> lineChanges;
    int64_t now = 0;
};

const std::string CRLF = "\r\n";
std::string V(const std::string& text) {
    return CRLF + text + CRLF;
} // a verbose result
std::string I(const std::string& text) {
    return CRLF + text + CRLF;
} // information text (lines parted by CR LF)

} // namespace

TEST(HayesModem, CommandSetAnswersAsAHayesModemDoes) {
    struct Row {
        const char* name;
        std::string setup; // sent first, its output dropped
        std::string input;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"echo on by default", "", "AT\r", "AT\r" + V("OK")},
        {"echo off", "ATE0\r", "AT\r", V("OK")},
        {"lower case and blanks", "ATE0\r", "at s7 ?\r", I("050") + V("OK")},
        {"numeric results", "ATE0V0\r", "AT\rATJ\r", "0\r4\r"},
        {"numeric information text", "ATE0V0\r", "ATS3?\r", "013\r\n0\r"},
        {"quiet", "ATE0Q1\r", "AT\rATS12?\rATJ\r", I("050")},
        {"quiet off again", "ATE0Q1\r", "ATQ0\r", V("OK")},
        {"registers set and read on one line", "ATE0\r", "ATS7=30S12=25S7?S12?\r",
         I("030") + I("025") + V("OK")},
        {"select then query", "ATE0\r", "ATS10=20 S10?\r", I("020") + V("OK")},
        {"register out of range", "ATE0\r", "ATS38?\r", V("ERROR")},
        {"register value too large", "ATE0\r", "ATS7=256\rATS7?\r", V("ERROR") + I("050") + V("OK")},
        {"unknown command", "ATE0\r", "ATJ\r", V("ERROR")},
        {"error stops the line, earlier commands stay", "ATE0\r", "ATS7=9JS7=8\rATS7?\r",
         V("ERROR") + I("009") + V("OK")},
        {"A/ repeats the last line", "ATE0\r", "ATS2?\rA/", I("043") + V("OK") + I("043") + V("OK")},
        {"backspace edits the line", "ATE0\r", "ATJ\bS6?\r", I("002") + V("OK")},
        {"DEL edits the line as backspace does", "ATE0\r", "ATJ\x7FS6?\r", I("002") + V("OK")},
        {"blanks inside a command are ignored", "ATE0\r", "ATS7= 30\rATS7?\r", V("OK") + I("030") + V("OK")},
        {"noise before AT is ignored", "ATE0\r", "xyz\rAT\r", V("OK")},
        {"overlong line", "ATE0\r", "AT" + std::string(THayesModem::MaxCommandLine + 1, 'E') + "\rAT\r",
         V("ERROR") + V("OK")},
        {"longest line still taken", "ATE0\r",
         "AT" + std::string(THayesModem::MaxCommandLine - 3, ' ') + "S7?\r", I("050") + V("OK")},
        {"bad parameters", "ATE0\r", "ATE2\rATX5\rAT&D4\rAT&Q\rATI11\r",
         V("ERROR") + V("ERROR") + V("ERROR") + V("ERROR") + V("ERROR")},
        {"identification: the answer is the line before OK", "ATE0\r", "ATI0\r",
         I("ini4zav SimModem V.34 33600") + V("OK")},
        {"ATO without a call", "ATE0\r", "ATO\r", V("NO CARRIER")},
        {"stored profile comes back with ATZ", "ATE0S7=20&W\r", "ATE1S7=30Z\rATS7?\r",
         V("OK") + I("020") + V("OK")},
        {"factory settings", "ATE0S7=20&W\r", "AT&FE0\rATS7?\r", V("OK") + I("050") + V("OK")},
        {"vendor init string", "ATE0\r", "AT\\N0%C0\rAT\\N8\rAT%C4\rAT\\Q1\r",
         V("OK") + V("ERROR") + V("ERROR") + V("ERROR")},
        {"settings shown", "ATE0X3\\N0\r", "AT&V\r",
         I("E0 Q0 V1 X3 &C1 &D2 \\N0 %C1" + CRLF +
           "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:050" + CRLF +
           "S08:002 S09:006 S10:014 S11:095 S12:050 S13:000 S14:000 S15:000" + CRLF +
           "S16:000 S17:000 S18:000 S19:000 S20:000 S21:000 S22:000 S23:000" + CRLF +
           "S24:000 S25:000 S26:000 S27:000 S28:000 S29:000 S30:000 S31:000" + CRLF +
           "S32:000 S33:000 S34:000 S35:000 S36:000 S37:000") +
             V("OK")},
        {"S3 changes the line end", "ATE0\r", "ATS3=10\rAT\n", "\n\nOK\n\n\n\nOK\n\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Modem modem;
        modem.Send(row.setup);
        modem.Take();
        modem.Send(row.input);
        EXPECT_EQ(modem.Take(), row.expected);
    }
}

TEST(HayesModem, EveryIdentificationCommandAnswersWithTextAndOk) {
    Modem modem;
    modem.Send("ATE0\r");
    // As many as the console's Identification button steps through; text, a blank line, OK.
    for (int i = 0; i <= 10; ++i) {
        SCOPED_TRACE(i);
        modem.Take();
        modem.Send("ATI" + std::to_string(i) + "\r");
        const std::string out = modem.Take();
        ASSERT_GE(out.size(), 8u);
        EXPECT_EQ(out.substr(0, 2), CRLF);
        EXPECT_EQ(out.substr(out.size() - 8), CRLF + V("OK"));
        EXPECT_GT(out.size(), 4 + V("OK").size()); // some text between
        // English, as modems answer: no German spelt without its umlauts.
        for (const char* digraph : {"ae", "oe", "ue"})
            EXPECT_EQ(out.find(digraph), std::string::npos) << out;
    }
    modem.Send("ATI7\r");
    EXPECT_NE(modem.Take().find("CONNECT 33600"), std::string::npos); // the number table
}

TEST(HayesModem, NumberTableChoosesTheOutcomeAfterRealisticDelays) {
    for (const auto& entry : NumberTable()) {
        const std::string ending = entry.Ending;
        SCOPED_TRACE("ending " + ending);
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        const std::string number = "0660 12345" + (ending.empty() ? std::string("67") : ending);
        modem.Send("ATDT" + number + "\r");
        EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Dialing);
        EXPECT_EQ(modem.Take(), "");
        const int64_t start = modem.now;
        ASSERT_TRUE(modem.RunUntil([&] { return modem.m.Mode() != THayesModem::TMode::Dialing; }, 120000));
        const int64_t took = modem.now - start;
        const TDialOutcome& o = entry.Outcome;
        std::string expected;
        switch (o.Kind) {
        case TDialOutcome::Connect:
            // Protocol and compression come while the terminal still reads modem lines.
            if (o.Protocol) expected += V(o.Protocol);
            if (o.Compression) expected += V(o.Compression);
            expected += V("CONNECT " + std::to_string(o.Speed));
            EXPECT_TRUE(modem.Dcd());
            EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Online);
            EXPECT_EQ(modem.far.Made, 1);
            EXPECT_EQ(modem.far.Fault, o.Fault);
            EXPECT_EQ(modem.far.Connects, 1);
            EXPECT_EQ(modem.m.ConnectSpeed(), o.Speed);
            break;
        case TDialOutcome::Busy:
            expected = V("BUSY");
            break;
        case TDialOutcome::NoCarrier:
            expected = V("NO CARRIER");
            break;
        case TDialOutcome::NoDialtone:
            expected = V("NO DIALTONE");
            break;
        case TDialOutcome::Voice:
            expected = V("VOICE");
            break;
        case TDialOutcome::NoAnswer:
            expected = V("NO CARRIER");
            break;
        }
        EXPECT_EQ(modem.Take(), expected);
        if (o.Kind != TDialOutcome::Connect) {
            EXPECT_FALSE(modem.Dcd());
            EXPECT_EQ(modem.far.Made, 0);
            EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Command);
        }
        if (o.Kind == TDialOutcome::NoAnswer)
            EXPECT_GE(took, 50000); // S7 seconds after dialling
        else
            EXPECT_TRUE(took >= 2000 && took <= 15000) << took; // a few seconds, as a real call
        EXPECT_EQ(modem.m.LastNumber(), number);
    }
    // All faults of the far end can be dialled.
    for (TFault f : {TFault::None, TFault::NoAnswer, TFault::Nak, TFault::BadChecksum, TFault::LateAnswer,
                     TFault::CarrierDrop}) {
        bool found = false;
        for (const auto& e : NumberTable())
            found |= e.Outcome.Kind == TDialOutcome::Connect && e.Outcome.Fault == f;
        EXPECT_TRUE(found) << FaultName(f);
        EXPECT_EQ(FaultFromName(FaultName(f)), f);
    }
    // Only the digits count.
    EXPECT_EQ(DialOutcomeFor("(0660) 12-34-10").Kind, TDialOutcome::Busy);
    EXPECT_EQ(DialOutcomeFor("W,!").Kind, TDialOutcome::NoAnswer);
    EXPECT_EQ(DialOutcomeFor("1").Kind, TDialOutcome::Connect);
}

TEST(HayesModem, ResultLevelsAndDialVariants) {
    struct Row {
        const char* name;
        std::string commands;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"X0: bare CONNECT, no tags", "ATX0DT0626\r", V("CONNECT")},
        {"X0: busy is NO CARRIER", "ATX0D10\r", V("NO CARRIER")},
        {"X3: no dial tone is NO CARRIER", "ATX3D12\r", V("NO CARRIER")},
        {"X2: busy is NO CARRIER", "ATX2D10\r", V("NO CARRIER")},
        {"numeric connect", "ATV0D22\r", "12\r"},
        {"no error correction: no tag lines", "AT\\N0D23\r", V("CONNECT 14400")},
        {"no compression: protocol line only", "AT%C0D23\r", V("PROTOCOL: LAP-M") + V("CONNECT 14400")},
        {"pulse dialling", "ATDP0621\r", V("CONNECT 2400")},
        {"semicolon returns to commands", "ATD0621;\r", V("OK")},
        {"S7 shorter than the handshake", "ATS7=2D26\r", V("NO CARRIER")},
        {"answer with nobody calling", "ATS7=3A\r", V("NO CARRIER")},
        {"bad dial character", "ATD06X1\r", V("ERROR")},
        {"redial without a number", "ATDL\r", V("ERROR")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        for (char c : row.commands) {
            modem.Send(std::string(1, c));
            if (c == '\r')
                modem.RunUntil([&] { return modem.m.Mode() != THayesModem::TMode::Dialing; }, 120000);
        }
        EXPECT_EQ(modem.Take(), row.expected);
    }

    // ATDL dials the last number again.
    Modem modem;
    modem.Send("ATE0D0621;\r");
    modem.RunUntil([&] { return modem.m.Mode() == THayesModem::TMode::Command; }, 60000);
    modem.Take();
    modem.Send("ATDL\r");
    ASSERT_TRUE(modem.RunUntilOutput("CONNECT 2400", 60000));
}

TEST(HayesModem, DataModeEscapeAndReturn) {
    Modem modem;
    modem.Send("ATE0D22\r");
    ASSERT_TRUE(modem.RunUntilOutput("PROTOCOL: LAP-M\r\n", 60000));
    modem.Take();
    EXPECT_EQ(modem.lineChanges, (std::vector<uint8_t>{mlCTS | mlDSR | mlDCD}));

    // Bytes pass both ways.
    modem.Send("AT\r");
    EXPECT_EQ(modem.far.Received, "AT\r"); // no command in data mode
    modem.far.Send("hello");
    EXPECT_EQ(modem.Take(), "hello");

    // Escapes that must not count: no guard before, a pause inside, data right after.
    modem.Send("x+++");
    modem.Run(1500);
    modem.Run(1000);
    modem.Send("++");
    modem.Run(1100);
    modem.Send("+");
    modem.Run(1500);
    modem.Send("+++");
    modem.Run(500);
    modem.Send("y");
    modem.Run(1500);
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Online);
    EXPECT_EQ(modem.Take(), "");

    // A real escape: a second of quiet, +++, a second of quiet.
    modem.far.Received.clear();
    modem.Send("+++");
    modem.Run(999);
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Online);
    modem.Run(1);
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::OnlineCommand);
    EXPECT_EQ(modem.Take(), V("OK"));
    EXPECT_EQ(modem.far.Received, "+++"); // the far end saw the escape characters as data
    EXPECT_TRUE(modem.Dcd());

    // The call stays up; what the far end sends now is lost; commands work, dialling does not.
    modem.far.Send("lost");
    modem.Send("ATS0?\r");
    modem.Send("ATD123\r");
    EXPECT_EQ(modem.Take(), I("000") + V("OK") + V("ERROR"));

    // ATO returns to data mode.
    modem.Send("ATO\r");
    EXPECT_EQ(modem.Take(), V("CONNECT 9600"));
    modem.Send("data");
    EXPECT_EQ(modem.far.Received, "+++data");
    modem.far.Send("back");
    EXPECT_EQ(modem.Take(), "back");

    // Shorter guard time from S12; then ATH hangs up.
    modem.Run(1000);
    modem.Send("+++");
    modem.Run(1000);
    EXPECT_EQ(modem.Take(), V("OK"));
    modem.Send("ATS12=10\rATO\r");
    modem.Take();
    modem.Run(200);
    modem.Send("+++");
    modem.Run(200);
    EXPECT_EQ(modem.Take(), V("OK"));
    modem.Send("ATH\r");
    EXPECT_EQ(modem.Take(), V("OK"));
    EXPECT_FALSE(modem.Dcd());
    EXPECT_EQ(modem.far.Disconnects, 1);
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Command);
    EXPECT_FALSE(modem.far.Send); // its send function is withdrawn
}

TEST(HayesModem, EveryWayACallEnds) {
    auto connected = [](Modem& modem, const std::string& setup) {
        modem.Send("ATE0" + setup + "D0621\r");
        EXPECT_TRUE(modem.RunUntilOutput("CONNECT 2400\r\n", 60000));
        modem.Take();
    };
    {
        SCOPED_TRACE("DTR drop with &D2 hangs up");
        Modem modem;
        connected(modem, "");
        modem.m.SetDTR(false, modem.now);
        EXPECT_EQ(modem.Take(), V("NO CARRIER"));
        EXPECT_FALSE(modem.Dcd());
        EXPECT_EQ(modem.far.Disconnects, 1);
        modem.m.SetDTR(true, modem.now);
        modem.Send("AT\r");
        EXPECT_EQ(modem.Take(), V("OK"));
    }
    {
        SCOPED_TRACE("DTR drop with &D0 is ignored, with &D1 goes to commands");
        Modem modem;
        connected(modem, "&D0");
        modem.m.SetDTR(false, modem.now);
        modem.m.SetDTR(true, modem.now);
        EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Online);
        modem.Send("AT&D1\r"); // data, not a command
        EXPECT_EQ(modem.far.Received, "AT&D1\r");
        Modem other;
        connected(other, "&D1");
        other.m.SetDTR(false, other.now);
        EXPECT_EQ(other.Take(), V("OK"));
        EXPECT_EQ(other.m.Mode(), THayesModem::TMode::OnlineCommand);
        EXPECT_TRUE(other.Dcd());
    }
    {
        SCOPED_TRACE("&D3 hangs up and resets");
        Modem modem;
        connected(modem, "&D3S7=33");
        modem.m.SetDTR(false, modem.now);
        EXPECT_EQ(modem.Take(), V("NO CARRIER"));
        EXPECT_EQ(modem.m.Register(7), 50);
    }
    {
        SCOPED_TRACE("the far end hangs up");
        Modem modem;
        connected(modem, "");
        modem.far.Hangup = true;
        modem.Run(10);
        EXPECT_FALSE(modem.Dcd()); // the carrier is gone at once
        EXPECT_EQ(modem.far.Disconnects, 1);
        modem.Run(1390);
        EXPECT_EQ(modem.Take(), ""); // the modem waits S10 tenths before it reports
        modem.Run(10);
        EXPECT_EQ(modem.Take(), V("NO CARRIER"));
        EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Command);
        modem.Send("AT\r");
        EXPECT_EQ(modem.Take(), V("OK"));
    }
    {
        SCOPED_TRACE("a keystroke while dialling aborts the call");
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        modem.Send("ATD0621\r");
        modem.Run(1500);
        modem.Send("\r"); // what the program sends to cancel
        EXPECT_EQ(modem.Take(), V("NO CARRIER"));
        modem.Run(60000);
        EXPECT_EQ(modem.far.Made, 0);
        EXPECT_EQ(modem.Take(), "");
        modem.Send("AT\r"); // the aborting byte started no command line
        EXPECT_EQ(modem.Take(), V("OK"));
    }
    {
        SCOPED_TRACE("DTR drop while dialling");
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        modem.Send("ATD0621\r");
        modem.Run(3000);
        modem.m.SetDTR(false, modem.now);
        EXPECT_EQ(modem.Take(), V("NO CARRIER"));
        modem.Run(60000);
        EXPECT_EQ(modem.far.Made, 0);
    }
    {
        SCOPED_TRACE("ATZ in a call hangs up");
        Modem modem;
        connected(modem, "");
        modem.Run(1000);
        modem.Send("+++");
        modem.Run(1000);
        modem.Send("ATZ\r");
        EXPECT_EQ(modem.Take(), V("OK") + V("OK"));
        EXPECT_FALSE(modem.Dcd());
        EXPECT_EQ(modem.far.Disconnects, 1);
    }
    {
        SCOPED_TRACE("&C0 keeps DCD on");
        Modem modem;
        modem.Send("AT&C0\r");
        EXPECT_TRUE(modem.Dcd());
        EXPECT_TRUE(modem.m.Lines() & mlDSR);
    }
}

TEST(HayesModem, LoopbackFarEndEchoesAndShowsItsFaults) {
    auto call = [](Modem& modem, const std::string& number) {
        modem.Send("ATE0D" + number + "\r");
        EXPECT_TRUE(modem.RunUntilOutput("COMPRESSION: V.42BIS\r\n", 60000));
        modem.Take();
    };
    {
        Modem modem({}, CurrentDefaultFarEnds());
        call(modem, "0815");
        modem.Send("ping");
        EXPECT_EQ(modem.Take(), "ping");
    }
    {
        Modem modem({}, CurrentDefaultFarEnds());
        call(modem, "0830");
        modem.Send("ping");
        modem.Run(10000);
        EXPECT_EQ(modem.Take(), "");
    }
    {
        Modem modem({}, CurrentDefaultFarEnds());
        call(modem, "0833");
        modem.Send("ping");
        modem.Run(TLoopbackPeer::LateMs - 10);
        EXPECT_EQ(modem.Take(), "");
        modem.Run(20);
        EXPECT_EQ(modem.Take(), "ping");
    }
    {
        Modem modem({}, CurrentDefaultFarEnds());
        call(modem, "0834");
        ASSERT_TRUE(modem.RunUntilOutput("NO CARRIER", 10000));
        EXPECT_FALSE(modem.Dcd());
    }
    {
        // A fault given as an option wins over the number's.
        TModemOptions o;
        o.Fault = TFault::NoAnswer;
        o.TimeScalePercent = 10;
        Modem modem(o);
        modem.Send("ATE0D0815\r");
        const int64_t start = modem.now;
        ASSERT_TRUE(modem.RunUntilOutput("COMPRESSION", 60000));
        EXPECT_LT(modem.now - start, 1500); // a tenth of the realistic pace
        EXPECT_EQ(modem.far.Fault, TFault::NoAnswer);
    }
    {
        // A registered default factory replaces the loop-back peer for the next call.
        Modem modem({}, CurrentDefaultFarEnds());
        TRecord rec;
        SetDefaultFarEndFactory([&rec](TFault f) -> std::unique_ptr<IFarEnd> {
            rec.Fault = f;
            return std::make_unique<TRecordingFarEnd>(rec);
        });
        call(modem, "0832");
        SetDefaultFarEndFactory({});
        modem.Send("x");
        EXPECT_EQ(rec.Received, "x");
        EXPECT_EQ(rec.Fault, TFault::BadChecksum);
        EXPECT_EQ(modem.Take(), "");
    }
}

TEST(HayesModem, IncomingCallRingsAndIsAnswered) {
    {
        SCOPED_TRACE("ATA answers a ringing line");
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        ASSERT_TRUE(modem.m.IncomingCall(modem.now, TFault::Nak, 14400));
        EXPECT_EQ(modem.Take(), V("RING"));
        EXPECT_TRUE(modem.m.Lines() & mlRI);
        modem.Run(THayesModem::RingOnMs);
        EXPECT_FALSE(modem.m.Lines() & mlRI);
        EXPECT_FALSE(modem.m.IncomingCall(modem.now)); // a second caller hears busy
        modem.Run(THayesModem::RingCycleMs - THayesModem::RingOnMs);
        EXPECT_EQ(modem.Take(), V("RING"));
        modem.Send("ATS1?\r");
        EXPECT_EQ(modem.Take(), I("002") + V("OK"));
        modem.Send("ATA\r");
        ASSERT_TRUE(modem.RunUntilOutput("CONNECT", 30000));
        EXPECT_EQ(modem.Take(), V("CONNECT 14400"));
        EXPECT_FALSE(modem.m.Lines() & mlRI);
        EXPECT_TRUE(modem.Dcd());
        EXPECT_EQ(modem.far.Fault, TFault::Nak);
        modem.Send("x");
        EXPECT_EQ(modem.far.Received, "x");
        modem.Run(60000);
        EXPECT_EQ(modem.Take(), ""); // no more rings once answered
    }
    {
        SCOPED_TRACE("S0 answers by itself");
        Modem modem;
        modem.Send("ATE0S0=3\r");
        modem.Take();
        modem.m.IncomingCall(modem.now);
        ASSERT_TRUE(modem.RunUntilOutput("CONNECT 19200", 60000));
        EXPECT_EQ(modem.Take(), V("RING") + V("RING") + V("RING") + V("CONNECT 19200"));
    }
    {
        SCOPED_TRACE("the caller gives up");
        Modem modem;
        modem.Send("ATE0\r");
        modem.Take();
        modem.m.IncomingCall(modem.now);
        modem.Run(THayesModem::MaxRings * THayesModem::RingCycleMs + 1);
        std::string rings;
        for (int i = 0; i < THayesModem::MaxRings; ++i)
            rings += V("RING");
        EXPECT_EQ(modem.Take(), rings);
        EXPECT_FALSE(modem.m.Ringing());
        EXPECT_EQ(modem.m.Register(1), 0);
        EXPECT_EQ(modem.lineChanges.size(), 2u * THayesModem::MaxRings); // RI on and off each ring
        modem.Send("ATA\r");                                             // nobody there any more
        ASSERT_TRUE(modem.RunUntilOutput("NO CARRIER", 60000));
        EXPECT_EQ(modem.far.Made, 0);
    }
    {
        SCOPED_TRACE("dialling out takes the line from the caller");
        Modem modem;
        modem.Send("ATE0\r");
        modem.m.IncomingCall(modem.now);
        modem.Send("ATD0621\r");
        EXPECT_FALSE(modem.m.Ringing());
        EXPECT_FALSE(modem.m.Lines() & mlRI);
        ASSERT_TRUE(modem.RunUntilOutput("CONNECT 2400", 60000));
    }
}

TEST(HayesModem, RandomInputKeepsTheModemConsistent) {
    // Arbitrary bytes, DTR changes, far-end hang-ups and pauses: the modem holds a far end exactly
    // while it has a carrier, shows DCD and stays in data or online-command state then, and afterwards
    // it still answers AT.
    std::mt19937 rng(4711);
    const std::string alphabet = "ATDSEVQXHOZI&?=0123456789+\r\n\b/;,WLPCN%\\ atd";
    const std::vector<std::string> commands = {
        "ATD0621\r", "ATDT0634\r", "ATDP26\r",  "+++",        "ATO\r", "ATH\r",  "AT&D0\r", "AT&D1\r",
        "AT&D3\r",   "AT&C0\r",    "ATS12=5\r", "ATS2=200\r", "ATA\r", "AT&W\r", "ATZ\r",   "ATS0=1\r"};
    int connectedRounds = 0;
    for (int round = 0; round < 200; ++round) {
        Modem modem;
        for (int step = 0; step < 200; ++step) {
            const unsigned r = rng() % 100;
            if (r < 40) {
                std::string chunk;
                const size_t n = 1 + rng() % 12;
                for (size_t i = 0; i < n; ++i)
                    chunk += (rng() % 10 == 0) ? static_cast<char>(rng() % 256)
                                               : alphabet[rng() % alphabet.size()];
                modem.Send(chunk);
            } else if (r < 60) {
                modem.Send(commands[rng() % commands.size()]);
            } else if (r < 70) {
                modem.m.SetDTR(rng() % 2 == 0, modem.now);
            } else if (r < 74) {
                modem.far.Hangup = true;
            } else if (r < 78) {
                modem.m.IncomingCall(modem.now, TFault::None, 2400);
            } else {
                modem.Run(rng() % 10000);
            }
            if (modem.far.Connects == modem.far.Disconnects) modem.far.Hangup = false;
            ASSERT_EQ(modem.m.CarrierOn(), modem.far.Connects == modem.far.Disconnects + 1);
            if (modem.m.CarrierOn()) {
                ASSERT_TRUE(modem.Dcd());
                ASSERT_TRUE(modem.m.Mode() == THayesModem::TMode::Online ||
                            modem.m.Mode() == THayesModem::TMode::OnlineCommand);
            }
            modem.Take();
        }
        connectedRounds += modem.far.Made > 0;
        // Whatever state it was left in (even &D0 and no escape character): the far end hangs up,
        // DTR drops, a reset, and it answers.
        modem.far.Hangup = true;
        modem.Run(30000);
        modem.m.SetDTR(true, modem.now);
        modem.m.SetDTR(false, modem.now);
        modem.m.SetDTR(true, modem.now);
        modem.Run(60000);
        modem.Send("\rATZ\r");
        modem.Run(60000);
        modem.Take();
        modem.Send("AT&FE0\rAT\r");
        EXPECT_NE(modem.Take().find("\r\nOK\r\n"), std::string::npos) << round;
        EXPECT_FALSE(modem.m.CarrierOn());
        EXPECT_EQ(modem.far.Connects, modem.far.Disconnects);
    }
    EXPECT_GT(connectedRounds, 20) << connectedRounds; // the input does reach data mode often enough to mean something
}

// A break from the terminal reaches the far end only in data mode, in order with the data around it; in
// command state, while dialling and escaped from a call the modem takes no notice of it.
TEST(HayesModem, BreakPassesToTheFarEndOnlyInDataMode) {
    Modem modem;
    modem.m.ReceiveBreak(250, modem.now);
    modem.Send("ATE0\r");
    EXPECT_EQ(modem.Take(), "ATE0\r" + V("OK"));
    modem.Send("ATD22\r");
    modem.Run(1000);
    modem.m.ReceiveBreak(250, modem.now);
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Dialing);
    ASSERT_TRUE(modem.RunUntilOutput("CONNECT 9600\r\n", 60000));

    modem.Send("ab");
    modem.m.ReceiveBreak(300, modem.now);
    modem.Send("cd");
    EXPECT_EQ(modem.far.Received, "ab[BREAK 300]cd");
    EXPECT_EQ(modem.m.Mode(), THayesModem::TMode::Online);

    modem.Run(1000);
    modem.Send("+++");
    modem.Run(1000);
    ASSERT_EQ(modem.m.Mode(), THayesModem::TMode::OnlineCommand);
    modem.m.ReceiveBreak(300, modem.now);
    EXPECT_EQ(modem.far.Received, "ab[BREAK 300]cd+++");
    EXPECT_TRUE(modem.Dcd());
}


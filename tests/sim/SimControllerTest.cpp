// The simulated controller against the real link object, in virtual time, with the bytes on the line cut
// into chunks in many ways; and against raw bytes where the link cannot produce them.

#include "sim/SimController.h"
#include "link/zavcom.h"
#include "platform/VirtualTime.h"
#include "sim/FarEnds.h"
#include "sim/HayesModem.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace zavcom;
using sim::TControllerSettings;
using sim::TFault;
using sim::TSimController;

namespace {

// "06 28 FF" -> bytes.
std::string Hex(const std::string& text) {
    std::istringstream in(text);
    std::string out, byte;
    while (in >> byte)
        out += static_cast<char>(std::stoi(byte, nullptr, 16));
    return out;
}

// Sizes in which bytes on the way are handed on, repeated; 0 = everything at once.
using TChunking = std::vector<size_t>;

std::vector<std::string> Cut(std::string bytes, const TChunking& sizes, size_t& turn) {
    std::vector<std::string> chunks;
    while (!bytes.empty()) {
        size_t n = sizes.empty() ? 0 : sizes[turn++ % sizes.size()];
        if (n == 0 || n > bytes.size()) n = bytes.size();
        chunks.push_back(bytes.substr(0, n));
        bytes.erase(0, n);
    }
    return chunks;
}

// The line between the console's byte path (the link's side) and the far end: the controller or a
// modem. Bytes travel one millisecond; each chunk that reaches the console is one data-available event
// for its receive hook.
class Line : public IZavBytePath {
public:
    explicit Line(plat::VirtualTime& vt) : Vt(vt) {}

    void SendChar(uint8_t b) override { ToController += static_cast<char>(b); }
    bool SendText(const std::string& bytes) override {
        ToController += bytes;
        return true;
    }
    std::string ReadChars(int count) override {
        std::string s = Input.substr(0, count);
        Input.erase(0, count);
        return s;
    }
    void SetReceiveHook(TReceiveHook hook) override { Hook = std::move(hook); }

    // Puts the controller straight on the line.
    void Connect(TSimController& ctl) {
        FarReceive = [&ctl](const std::string& b, int64_t now) { ctl.Receive(b, now); };
        FarAdvance = [&ctl](int64_t now) { ctl.Advance(now); };
        ctl.Connected([this](const std::string& bytes) { ToConsole += bytes; }, Vt.NowMs());
    }
    // Puts a modem on the line.
    void Connect(sim::THayesModem& modem) {
        FarReceive = [&modem](const std::string& b, int64_t now) { modem.Receive(b, now); };
        FarAdvance = [&modem](int64_t now) { modem.Advance(now); };
        modem.SetOutput([this](const std::string& bytes) { ToConsole += bytes; });
    }
    // Runs the line and both ends for ms milliseconds.
    void Run(int64_t ms) {
        for (int64_t i = 0; i < ms; ++i) {
            Vt.Advance(1);
            FarAdvance(Vt.NowMs());
            for (const auto& chunk : Cut(std::exchange(ToController, {}), UpChunks, UpTurn)) {
                Up += chunk;
                FarReceive(chunk, Vt.NowMs());
            }
            for (const auto& chunk : Cut(std::exchange(ToConsole, {}), DownChunks, DownTurn)) {
                Down += chunk;
                Input += chunk;
                if (Hook) {
                    auto hook = Hook;
                    hook(static_cast<uint16_t>(chunk.size()));
                } else {
                    Unclaimed += std::exchange(Input, {}); // the console would show these as lines
                }
            }
        }
    }

    plat::VirtualTime& Vt;
    std::function<void(const std::string&, int64_t)> FarReceive;
    std::function<void(int64_t)> FarAdvance;
    TChunking UpChunks, DownChunks;
    size_t UpTurn = 0, DownTurn = 0;
    std::string ToController, ToConsole, Input;
    std::string Up, Down, Unclaimed; // everything that went each way; what reached no hook
    TReceiveHook Hook;
};

// The console's side: a link object on the line, recording what its callbacks receive.
class LinkOnLine : public ::testing::Test {
protected:
    void SetUp() override { RxHeader = HeaderDefault; }
    void TearDown() override { RxHeader = HeaderDefault; }

    void Start(TControllerSettings settings, TChunking up = {}, TChunking down = {}) {
        Ctl = std::make_unique<TSimController>(std::move(settings));
        NewLine(std::move(up), std::move(down));
        L->Connect(*Ctl);
    }
    void NewLine(TChunking up = {}, TChunking down = {}) {
        Link.reset();
        L = std::make_unique<Line>(Vt);
        L->UpChunks = std::move(up);
        L->DownChunks = std::move(down);
        Link = std::make_unique<TZavCom>(Vt, L.get());
        Link->OnLinkError = [this](const std::string& t) { Errors.push_back(t); };
        Link->OnTrace = [this](const std::string& t) { Traces.push_back(t); };
        Errors.clear();
        Traces.clear();
    }
    // What the console does after the connection: data mode, then the synchronisation probe.
    void Synchronise() {
        L->SendText("AT01\r");
        L->Run(10);
        L->SendChar(SOH);
        L->Run(10);
    }
    TZavCallback Record(std::vector<std::string>& into) {
        return [&into](const std::string& t) { into.push_back(t); };
    }
    // A request with an answer, run until the link is idle with nothing pending or the time is up.
    std::vector<std::string> Ask(const std::string& frame, int64_t ms = 1000) {
        std::vector<std::string> got;
        EXPECT_TRUE(Link->Send(frame, Record(got)));
        L->Run(ms);
        return got;
    }

    plat::VirtualTime Vt;
    std::unique_ptr<TSimController> Ctl;
    std::unique_ptr<Line> L;
    std::unique_ptr<TZavCom> Link;
    std::vector<std::string> Errors, Traces;
};

// The payload under 28 FF FF of an answer, its checksum checked.
std::string PayloadOf(const std::string& answer) {
    EXPECT_GE(answer.size(), 4u);
    unsigned sum = 0xFF + static_cast<unsigned>(answer.size()); // LEN = header + payload + 1
    for (size_t i = 0; i + 1 < answer.size(); ++i)
        sum += static_cast<uint8_t>(answer[i]);
    EXPECT_EQ(static_cast<uint8_t>(answer.back()), sum & 0xFF) << "checksum";
    const TDecoded d = TZavCom::DecodeFrame(answer);
    EXPECT_EQ(d.Error, 0);
    return d.Payload;
}

const std::string Notify = Hex("03 0C 05 13");
const std::string NameRequest = Hex("04 28 FF 90 BA");

// A whole session as the console runs it after a dial, for many ways of cutting the bytes on the line.
TEST_F(LinkOnLine, SessionRunsWhateverTheChunking) {
    const struct {
        const char* name;
        TChunking up, down;
        int answerDelayMs;
    } cases[] = {
        {"whole writes", {}, {}, 20},
        {"byte by byte", {1}, {1}, 20},
        {"pairs", {2}, {2}, 20},
        {"three then one", {3, 1}, {3, 1}, 20},
        {"odd up, whole down", {1, 4, 2}, {}, 20},
        {"whole up, odd down", {}, {5, 1, 3}, 20},
        {"sevens", {7}, {7}, 20},
        {"answer glued to the ACK", {}, {}, 0},
        {"answer glued, byte by byte up", {1}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TControllerSettings s;
        s.AnswerDelayMs = c.answerDelayMs;
        Start(s, c.up, c.down);

        Synchronise();
        EXPECT_EQ(L->Unclaimed, Hex("06 15 15"));
        EXPECT_TRUE(Ctl->Synchronised());

        std::vector<std::string> notified;
        ASSERT_TRUE(Link->SendNoAnswer(Notify, Record(notified)));
        L->Run(100);
        EXPECT_EQ(notified, std::vector<std::string>{"return with no answer"});
        EXPECT_EQ(Ctl->Stats().Notifications, 1);

        RxHeader = HeaderPartner;
        const auto name = Ask(NameRequest);
        RxHeader = HeaderDefault;
        ASSERT_EQ(name.size(), 1u);
        EXPECT_EQ(name[0], Hex("28 FF 91") + "SIM-ZAV 1" + Hex("00") + name[0].back());

        struct {
            std::string payload, answerStart;
        } requests[] = {
            {Hex("F1 00"), Hex("F1 00") + "SIM-ZAV 1 V1.00"},
            {Hex("F1 01"), Hex("F1 01 08")},
            {Hex("F1 40"), Hex("F1 40 02 12 03 07 01")},
            {Hex("F0 10 70 00 F1 00"), Hex("F0 10 70 00 F1 00") + "SIM-ZAV 1 V1.00"},
            {Hex("F0 10 70 01 F1 00"), Hex("F0 10 70 01 F1 00") + "SIM-ZAV 1/1 V1.00"},
        };
        for (const auto& r : requests) {
            const auto got = Ask(TZavCom::BuildFrame(r.payload));
            ASSERT_EQ(got.size(), 1u);
            const std::string payload = PayloadOf(got[0]);
            EXPECT_EQ(payload.substr(0, r.answerStart.size()), r.answerStart);
        }
        EXPECT_TRUE(Errors.empty());
        EXPECT_TRUE(Traces.empty());
        EXPECT_EQ(Ctl->Stats().AnswersSent, 6);
        EXPECT_EQ(Ctl->Stats().AnswersDropped + Ctl->Stats().FramesRefused, 0);
        EXPECT_EQ(Link->State, lsIdle);
    }
}

// Status answers change with the session; the group test reaches only the cars of the group.
TEST_F(LinkOnLine, StatusAndGroupAnswersFollowTheController) {
    TControllerSettings s;
    s.Name = "Aufzug 7";
    s.GroupSize = 2;
    Start(s);
    Synchronise();
    std::vector<std::string> status;
    for (int i = 0; i < 3; ++i) {
        const auto got = Ask(TZavCom::BuildFrame(Hex("F1 01")));
        ASSERT_EQ(got.size(), 1u);
        status.push_back(PayloadOf(got[0]));
    }
    // floors, floor, door, mode, errors (2), trips (2): trips count the answers before
    EXPECT_EQ(status[0], Hex("F1 01 08 01 00 01 00 02 00 00"));
    EXPECT_EQ(status[2], Hex("F1 01 08 03 00 01 00 02 00 02"));

    const auto car1 = Ask(TZavCom::BuildFrame(Hex("F0 10 70 01 F1 01")));
    ASSERT_EQ(car1.size(), 1u);
    EXPECT_EQ(PayloadOf(car1[0]), Hex("F0 10 70 01 F1 01 08 07 00 01 00 00 00 03"));
    const auto car2 = Ask(TZavCom::BuildFrame(Hex("F0 10 70 02 F1 00")));
    ASSERT_EQ(car2.size(), 1u);
    EXPECT_EQ(PayloadOf(car2[0]), Hex("F0 10 70 02 FE"));
    const auto unknown = Ask(TZavCom::BuildFrame(Hex("F1 77 05")));
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(PayloadOf(unknown[0]), Hex("FE F1 77 05"));

    RxHeader = HeaderPartner;
    const auto name = Ask(NameRequest);
    ASSERT_EQ(name.size(), 1u);
    EXPECT_EQ(name[0].substr(0, 11), Hex("28 FF 91") + "Aufzug 7");
}

// On a direct line a request sent before any synchronisation meets the synchronisation answer; the link
// takes its NAKs for refusals, repeats, and gets the answer all the same.
TEST_F(LinkOnLine, RequestBeforeTheSynchronisationStillGetsItsAnswer) {
    TControllerSettings direct;
    direct.StartInDataMode = true;
    Start(direct);
    const auto got = Ask(TZavCom::BuildFrame(Hex("F1 40")), 4000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(PayloadOf(got[0]), Hex("F1 40 02 12 03 07 01"));
    EXPECT_TRUE(Errors.empty());
    EXPECT_TRUE(Ctl->Synchronised());
}

// Each fault as the link sees it.
TEST_F(LinkOnLine, FaultsShowAsTheLinksFailures) {
    const std::string f100 = TZavCom::BuildFrame(Hex("F1 00"));
    {
        SCOPED_TRACE("no answer: not even the synchronisation, then the request times out");
        TControllerSettings s;
        s.Fault = TFault::NoAnswer;
        Start(s);
        Synchronise();
        EXPECT_FALSE(Ctl->Synchronised());
        const auto got = Ask(f100, 5000);
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(Errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
        EXPECT_EQ(L->Down, "");
        EXPECT_EQ(Link->State, lsIdle);
    }
    {
        SCOPED_TRACE("nak: SOH refused and repeated, frame refused and repeated, until the time-out");
        Errors.clear();
        Traces.clear();
        TControllerSettings s;
        s.Fault = TFault::Nak;
        Start(s);
        Synchronise();
        EXPECT_TRUE(Ctl->Synchronised());
        std::vector<std::string> done;
        ASSERT_TRUE(Link->SendNoAnswer(Notify, Record(done)));
        L->Run(5000);
        EXPECT_TRUE(done.empty());
        EXPECT_EQ(Errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
        ASSERT_FALSE(Traces.empty());
        EXPECT_EQ(Traces[0], "Fehler <NAK> : senden wiederholen");
        EXPECT_GE(Ctl->Stats().SohRefused, 2);
        EXPECT_GE(Ctl->Stats().FramesRefused, 2);
        EXPECT_EQ(Ctl->Stats().FramesAccepted, 0);
        EXPECT_EQ(Ctl->Stats().Notifications, 0);
    }
    {
        SCOPED_TRACE("bad checksum: the link takes the answer as it is");
        Errors.clear();
        TControllerSettings s;
        s.Fault = TFault::BadChecksum;
        Start(s);
        Synchronise();
        const auto got = Ask(f100);
        ASSERT_EQ(got.size(), 1u);
        std::string repaired = got[0];
        repaired.back() = static_cast<char>(repaired.back() - 1);
        EXPECT_EQ(repaired, TZavCom::BuildFrame(Hex("F1 00") + "SIM-ZAV 1 V1.00").substr(1));
        EXPECT_NE(got[0], repaired);
        EXPECT_TRUE(Errors.empty());
    }
    {
        SCOPED_TRACE("late answer: the link times out first; the late answer reaches no request");
        Errors.clear();
        TControllerSettings s;
        s.Fault = TFault::LateAnswer;
        Start(s);
        Synchronise();
        std::vector<std::string> notified;
        ASSERT_TRUE(Link->SendNoAnswer(Notify, Record(notified)));
        L->Run(100);
        EXPECT_EQ(notified.size(), 1u); // the notification is acknowledged in time
        const auto got = Ask(f100, 4999);
        EXPECT_TRUE(got.empty());
        EXPECT_TRUE(Errors.empty());
        L->Run(1);
        EXPECT_EQ(Errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
        L->Run(1500); // the answer's SOH goes to the console, whose link has let go
        EXPECT_EQ(L->Unclaimed, Hex("06 15 15 01"));
        // A new request makes the controller give the stale answer up; its own answer is late again.
        const auto again = Ask(f100, 5000);
        EXPECT_TRUE(again.empty());
        EXPECT_EQ(Errors.size(), 2u);
        EXPECT_EQ(Ctl->Stats().AnswersDropped, 1);
        EXPECT_EQ(Ctl->Stats().AnswersSent, 0);
    }
}

// The controller asks for the carrier to go in the middle of a session and answers nothing after that.
TEST_F(LinkOnLine, CarrierDropComesMidSession) {
    TControllerSettings s;
    s.Fault = TFault::CarrierDrop;
    s.CarrierDropAfterMs = 3000;
    Start(s);
    L->Run(5000);
    EXPECT_FALSE(Ctl->WantsHangup()); // the clock starts with the session, not the call
    Synchronise();
    const auto first = Ask(TZavCom::BuildFrame(Hex("F1 00")));
    EXPECT_EQ(first.size(), 1u);
    L->Run(1980);
    EXPECT_FALSE(Ctl->WantsHangup());
    L->Run(20);
    EXPECT_TRUE(Ctl->WantsHangup());
    const auto after = Ask(TZavCom::BuildFrame(Hex("F1 00")), 5000);
    EXPECT_TRUE(after.empty());
    EXPECT_EQ(Errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
}

// Through the simulated modem with the controller registered as its far end, as the program does: the
// dialled number chooses the fault.
TEST_F(LinkOnLine, ModemCallsReachTheControllerWithTheNumbersFault) {
    sim::SetDefaultFarEndFactory(sim::ControllerFarEnds());
    const struct {
        const char* number;
        bool synchronises;
        bool answers;
        bool dropsTheCall;
    } cases[] = {
        {"06601234567", true, true, false}, // any other number: no fault
        {"0830", false, false, false},      // stumm
        {"0831", true, false, false},       // nak
        {"0833", true, false, false},       // spaet
        {"0834", true, true, true},         // auflegen
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        sim::TModemOptions fast;
        fast.TimeScalePercent = 10;
        sim::THayesModem modem(sim::CurrentDefaultFarEnds(), fast, Vt.NowMs());
        NewLine({3}, {});
        L->Connect(modem);
        L->SendText(std::string("ATE0DT") + c.number + "\r");
        for (int i = 0; i < 200 && L->Unclaimed.find("COMPRESSION") == std::string::npos; ++i)
            L->Run(100);
        ASSERT_TRUE(modem.CarrierOn());
        L->Run(300);
        L->Unclaimed.clear();

        Synchronise();
        EXPECT_EQ(L->Unclaimed, c.synchronises ? Hex("06 15 15") : "");
        const auto got = Ask(TZavCom::BuildFrame(Hex("F1 00")), 5000);
        if (c.answers) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(PayloadOf(got[0]), Hex("F1 00") + "SIM-ZAV 1 V1.00");
            EXPECT_TRUE(Errors.empty());
        } else {
            EXPECT_TRUE(got.empty());
            EXPECT_EQ(Errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
        }
        L->Run(5000);
        EXPECT_EQ(modem.CarrierOn(), !c.dropsTheCall);
        if (c.dropsTheCall) {
            EXPECT_NE(L->Down.find("NO CARRIER"), std::string::npos); // to the link, whose hook stays
        }
        Link->Reset();
    }
    sim::SetDefaultFarEndFactory({});
}

// The controller's side on its own: the bytes a console may send, well-formed or not.
class ControllerBytes : public ::testing::Test {
protected:
    void Start(TControllerSettings s = {}) {
        Ctl = std::make_unique<TSimController>(std::move(s));
        Ctl->Connected([this](const std::string& b) { Out += b; }, Now);
    }
    std::string Feed(const std::string& bytes) {
        Ctl->Receive(bytes, Now);
        return std::exchange(Out, {});
    }
    std::string Wait(int64_t ms) {
        Now += ms;
        Ctl->Advance(Now);
        return std::exchange(Out, {});
    }
    std::unique_ptr<TSimController> Ctl;
    std::string Out;
    int64_t Now = 1000;
};

TEST_F(ControllerBytes, SynchronisationIsAnsweredOnceDataModeIsOn) {
    Start();
    EXPECT_EQ(Feed(Hex("01")), ""); // before data mode the probe is not answered
    EXPECT_EQ(Feed("ATZ\rat"), ""); // other commands; "AT01" may come in pieces and any case
    EXPECT_EQ(Feed("0"), "");
    EXPECT_EQ(Feed("1\r"), "");
    EXPECT_TRUE(Ctl->InDataMode());
    EXPECT_EQ(Feed("xy" + Hex("01")), Hex("06 15 15"));
    EXPECT_EQ(Feed(Hex("01")), Hex("06"));                  // now an SOH is a hand-shake
    EXPECT_EQ(Wait(1000), Hex("15"));                       // whose frame never came
    EXPECT_EQ(Feed("AT01\r" + Hex("01")), Hex("06 15 15")); // data mode again: a new synchronisation

    // A direct line has no command phase; a new call starts unsynchronised again.
    TControllerSettings direct;
    direct.StartInDataMode = true;
    Start(direct);
    EXPECT_EQ(Feed(Hex("01")), Hex("06 15 15"));
    Ctl->Disconnected();
    EXPECT_EQ(Feed(Hex("01")), "");
    Ctl->Connected([this](const std::string& b) { Out += b; }, Now);
    EXPECT_EQ(Feed(Hex("01")), Hex("06 15 15"));
}

// Garbage, broken frames and floods cost at most one refusal; the next SOH is served.
TEST_F(ControllerBytes, BrokenInputIsRefusedAndTheNextSohIsServed) {
    TControllerSettings direct;
    direct.StartInDataMode = true;
    Start(direct);
    Feed(Hex("01"));
    const std::string good = Hex("02") + Notify;
    const struct {
        const char* name;
        std::string bytes;
        int64_t waitMs;
        std::string reply;
    } cases[] = {
        {"noise in idle", "\xF3zz" + std::string(300, '\x02'), 0, ""},
        {"wrong checksum", Hex("01 02 03 0C 05 14"), 0, Hex("06 15")},
        {"LEN 0", Hex("01 02 00"), 0, Hex("06 15")},
        {"frame cut short", Hex("01 02 09 28 FF"), 1000, Hex("06 15")},
        {"no STX after the SOH", Hex("01") + "junk", 1000, Hex("06 15")},
        {"SOH again before STX", Hex("01 01") + good, 0, Hex("06 06 06")},
        {"noise before STX", Hex("01") + "ab" + good, 0, Hex("06 06")},
        {"a flood", std::string(20000, '\x55'), 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reply = Feed(c.bytes);
        if (c.waitMs) {
            EXPECT_EQ(Wait(c.waitMs - 1), "") << "refused too early";
            reply += Wait(1);
        }
        EXPECT_EQ(reply, c.reply);
        // Whatever came before, a well-formed notification is served now, bytes split anyhow.
        EXPECT_EQ(Feed(Hex("01")), Hex("06"));
        std::string acks;
        for (char b : good)
            acks += Feed(std::string(1, b));
        EXPECT_EQ(acks, Hex("06"));
    }
    EXPECT_EQ(Ctl->Stats().Notifications, 10); // two of the cases end in a good one themselves
    EXPECT_GT(Ctl->Stats().BytesDropped, 0);
}

// An answer the console keeps refusing is given up after three tries; so is one it never takes.
TEST_F(ControllerBytes, RefusedAnswersAreRetriedThenDropped) {
    TControllerSettings direct;
    direct.StartInDataMode = true;
    Start(direct);
    Feed(Hex("01"));
    EXPECT_EQ(Feed(Hex("01 02") + TZavCom::BuildFrame(Hex("F1 00"))), Hex("06 06"));
    EXPECT_EQ(Wait(20), Hex("01"));
    EXPECT_EQ(Feed(Hex("15")), ""); // SOH refused: again after 200 ms
    EXPECT_EQ(Wait(199), "");
    EXPECT_EQ(Wait(1), Hex("01"));
    const std::string frame = Feed(Hex("06")); // accepted: the frame goes
    EXPECT_EQ(frame.substr(0, 5), Hex("02 15 28 FF FF"));
    EXPECT_EQ(Feed(Hex("15")), Hex("01")); // frame refused: SOH at once, third try
    EXPECT_EQ(Wait(1500), "");             // silence is the last refusal
    EXPECT_EQ(Ctl->Stats().AnswersDropped, 1);

    // A name request answered to a console that stays silent: tries at 0, 1500 and 3000 ms.
    EXPECT_EQ(Feed(Hex("01 02") + NameRequest), Hex("06 06"));
    EXPECT_EQ(Wait(20), Hex("01"));
    EXPECT_EQ(Wait(1500), Hex("01"));
    EXPECT_EQ(Wait(1500), Hex("01"));
    EXPECT_EQ(Wait(1500), "");
    EXPECT_EQ(Ctl->Stats().AnswersDropped, 2);
    EXPECT_EQ(Feed(Hex("01")), Hex("06")); // and the controller is free again
}

// A send that delivers at once and is answered at once nests Receive inside the send: the controller
// finishes the bytes before and keeps the order.
TEST_F(ControllerBytes, NestedCallsKeepTheOrder) {
    TControllerSettings direct;
    direct.StartInDataMode = true;
    direct.AnswerDelayMs = 0;
    Ctl = std::make_unique<TSimController>(direct);
    std::string wire;
    Ctl->Connected(
        [&](const std::string& b) {
            wire += b;
            if (b.back() == '\x01') Ctl->Receive(Hex("06"), Now); // the console ACKs our SOH at once
            if (b[0] == '\x02') Ctl->Receive(Hex("06"), Now);     // and our frame
        },
        Now);
    Ctl->Receive(Hex("01"), Now);
    Ctl->Receive(Hex("01 02") + TZavCom::BuildFrame(Hex("F1 40")), Now);
    EXPECT_EQ(wire, Hex("06 15 15 06 06 01 02") + TZavCom::BuildFrame(Hex("F1 40 02 12 03 07 01")));
    EXPECT_EQ(Ctl->Stats().AnswersSent, 1);
}

} // namespace

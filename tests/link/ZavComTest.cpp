// The controller link in virtual time against a scripted peer on the console's byte path.

#include "link/zavcom.h"
#include "platform/VirtualTime.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace zavcom;

namespace {

// "06 28 FF" -> bytes.
std::string Hex(const std::string& text) {
    std::istringstream in(text);
    std::string out, byte;
    while (in >> byte)
        out += static_cast<char>(std::stoi(byte, nullptr, 16));
    return out;
}

// The console's side of the line: records what the link writes, hands scripted bytes to its hook.
class Peer : public IZavBytePath {
public:
    void SendChar(uint8_t b) override { Wire += static_cast<char>(b); }
    bool SendText(const std::string& bytes) override {
        Wire += bytes;
        return true;
    }
    std::string ReadChars(int count) override {
        std::string s = Input.substr(0, count);
        Input.erase(0, count);
        return s;
    }
    void SetReceiveHook(TReceiveHook hook) override { Hook = std::move(hook); }

    // One data-available event carrying bytes.
    void Deliver(const std::string& bytes) {
        Input += bytes;
        ASSERT_TRUE(Hook) << "no receive hook installed";
        auto hook = Hook;
        hook(static_cast<uint16_t>(bytes.size()));
    }
    // What the link wrote since the last call.
    std::string Take() { return std::exchange(Wire, {}); }

    std::string Wire, Input;
    TReceiveHook Hook;
};

class ZavComTest : public ::testing::Test {
protected:
    void SetUp() override {
        RxHeader = HeaderDefault;
        link.OnLinkError = [this](const std::string& t) { errors.push_back(t); };
        link.OnTrace = [this](const std::string& t) { traces.push_back(t); };
    }
    void TearDown() override { RxHeader = HeaderDefault; }

    TZavCallback Record(std::vector<std::string>& into) {
        return [&into](const std::string& t) { into.push_back(t); };
    }
    // Starts a request and takes the peer up to the acknowledged frame.
    void SendAndAckFrame(const std::string& frame, TZavCallback onAnswer) {
        ASSERT_TRUE(link.Send(frame, std::move(onAnswer)));
        peer.Deliver(Hex("06"));
        peer.Deliver(Hex("06"));
        peer.Take();
    }

    plat::VirtualTime vt;
    Peer peer;
    TZavCom link{vt, &peer};
    std::vector<std::string> answers, noAnswers, errors, traces;
    const std::string f100 = Hex("06 28 FF FF F1 00 1C");
    const std::string answer = Hex("02 06 28 FF FF 12 34 5B");
};

TEST_F(ZavComTest, RequestRunsHandshakeFrameAndDeliversTheAnswer) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    EXPECT_EQ(peer.Take(), Hex("01"));
    EXPECT_EQ(link.State, lsWaitSohAck);

    peer.Deliver(Hex("06"));
    EXPECT_EQ(peer.Take(), Hex("02") + f100);
    EXPECT_EQ(link.State, lsWaitFrameAck);

    peer.Deliver(Hex("06"));
    EXPECT_EQ(link.State, lsIdle);
    EXPECT_EQ(peer.Take(), "");

    peer.Deliver(Hex("01")); // the controller starts its answer
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(link.State, lsReceiving);
    peer.Deliver(answer);
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(link.State, lsIdle);
    ASSERT_EQ(answers, std::vector<std::string>{Hex("28 FF FF 12 34 5B")});

    const TDecoded d = TZavCom::DecodeFrame(answers[0]);
    EXPECT_EQ(d.Error, 0);
    EXPECT_EQ(d.Payload, Hex("12 34"));

    vt.Advance(60000); // the answer stopped the answer timer
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(traces.empty());
}

TEST_F(ZavComTest, RefusedSohIsRepeatedAfter200ms) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Take();
    peer.Deliver(Hex("15"));
    EXPECT_EQ(link.State, lsSohRefused);
    peer.Deliver(Hex("06")); // bytes while refused change nothing
    vt.Advance(199);
    EXPECT_EQ(peer.Take(), "");
    vt.Advance(1);
    EXPECT_EQ(peer.Take(), Hex("01"));
    EXPECT_EQ(link.State, lsWaitSohAck);
    vt.Advance(3000); // then the link waits for the peer
    EXPECT_EQ(peer.Take(), "");
    EXPECT_EQ(link.State, lsWaitSohAck);
    peer.Deliver(Hex("06"));
    EXPECT_EQ(peer.Take(), Hex("02") + f100);
}

TEST_F(ZavComTest, RefusedFrameRestartsWithSohAtOnce) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Deliver(Hex("06"));
    peer.Take();
    peer.Deliver(Hex("15"));
    EXPECT_EQ(peer.Take(), Hex("01"));
    EXPECT_EQ(link.State, lsWaitSohAck);
    EXPECT_EQ(traces, std::vector<std::string>{"Fehler <NAK> : senden wiederholen"});
    peer.Deliver(Hex("06"));
    EXPECT_EQ(peer.Take(), Hex("02") + f100);
}

TEST_F(ZavComTest, UnexpectedByteAfterSohIsRefusedAndTheAnswerSlotStays) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Take();
    peer.Deliver("X");
    EXPECT_EQ(peer.Take(), Hex("15")); // NAK; the frame is not sent
    EXPECT_EQ(link.State, lsIdle);
    peer.Deliver(Hex("01"));
    peer.Deliver(answer);
    EXPECT_EQ(answers.size(), 1u);
}

// Receiving: the link ACKs the peer's SOH and gathers one frame with RxHeader.
TEST_F(ZavComTest, ReceivesCompleteFramesAndWaitsForIncompleteOnes) {
    SendAndAckFrame(f100, Record(answers));
    peer.Deliver(Hex("01"));
    peer.Take();
    peer.Deliver(Hex("02 06 28 FF FF 12")); // LEN 6 but only 4 bytes after it
    EXPECT_EQ(peer.Take(), "");
    EXPECT_EQ(link.State, lsReceiving);
    peer.Deliver(Hex("34 5B"));
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(answers, std::vector<std::string>{Hex("28 FF FF 12 34 5B")});
}

TEST_F(ZavComTest, ForeignHeaderIsRefusedAfter1000msNotProlongedByLaterBytes) {
    SendAndAckFrame(f100, Record(answers));
    peer.Deliver(Hex("01"));
    peer.Take();
    vt.Advance(500);
    peer.Deliver(Hex("02 06 28 FF 91 41 42 00")); // complete, but addressed with the partner header
    vt.Advance(499);
    EXPECT_EQ(peer.Take(), "");
    vt.Advance(1);
    EXPECT_EQ(peer.Take(), Hex("15"));
    EXPECT_EQ(link.State, lsIdle);
    EXPECT_TRUE(answers.empty());

    // The answer slot survives the NAK; the repeated answer, with the header expected now, arrives.
    RxHeader = HeaderPartner;
    peer.Deliver(Hex("01"));
    peer.Deliver(Hex("02 06 28 FF 91 41 42 00"));
    EXPECT_EQ(answers, std::vector<std::string>{Hex("28 FF 91 41 42 00")});
}

TEST_F(ZavComTest, FirstFrameStartHidesALaterCompleteFrame) {
    SendAndAckFrame(f100, Record(answers));
    peer.Deliver(Hex("01"));
    peer.Deliver(Hex("02 20 28 FF FF 00") + answer);
    EXPECT_TRUE(answers.empty());
    vt.Advance(1000);
    EXPECT_EQ(peer.Take(), Hex("06 15"));
}

// The frames the console sends, byte for byte.
TEST(ZavComFrames, BuildFrameWrapsPayloadsWithTheDefaultHeader) {
    const struct {
        const char* body;
        const char* frame;
    } cases[] = {
        {"", "04 28 FF FF 29"},
        {"F1 00", "06 28 FF FF F1 00 1C"},
        {"F1 01", "06 28 FF FF F1 01 1D"},
        {"F1 40", "06 28 FF FF F1 40 5C"},
        {"F0 10 70 00 F1 00", "0A 28 FF FF F0 10 70 00 F1 00 90"},
        {"F0 10 70 01 F1 00", "0A 28 FF FF F0 10 70 01 F1 00 91"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TZavCom::BuildFrame(Hex(c.body)), Hex(c.frame)) << c.body;
}

TEST_F(ZavComTest, StoredFramesGoOutUnchanged) {
    for (const char* frame : {"04 28 FF 90 BA", "03 0C 05 13"}) {
        ASSERT_TRUE(link.SendNoAnswer(Hex(frame), Record(noAnswers)));
        peer.Deliver(Hex("06"));
        peer.Deliver(Hex("06"));
        EXPECT_EQ(peer.Take(), Hex("01 02") + Hex(frame));
    }
    EXPECT_EQ(noAnswers, (std::vector<std::string>{"return with no answer", "return with no answer"}));
}

TEST(ZavComFrames, DecodeFrameStripsTheDefaultHeaderAndChecksum) {
    const struct {
        std::string answer;
        int error;
        std::string payload;
    } cases[] = {
        {Hex("28 FF FF F1 00 1C"), 0, Hex("F1 00")},
        {Hex("28 FF FF"), 0, ""},
        {Hex("28 FF FF 1C"), 0, ""},
        {Hex("28 FF"), 1, Hex("28 FF")},
        {"", 1, ""},
        {Hex("28 FF 91 41 42 00"), 1, Hex("28 FF 91 41 42 00")},
        {"<ERROR> NC/TIME.OUT 5000", 1, "<ERROR> NC/TIME.OUT 5000"},
        {Hex("28 FF FF") + std::string(300, 'a'), 0, std::string(254, 'a')},
    };
    for (const auto& c : cases) {
        const TDecoded d = TZavCom::DecodeFrame(c.answer);
        EXPECT_EQ(d.Error, c.error) << c.answer;
        EXPECT_EQ(d.Payload, c.payload) << c.answer;
    }
}

// A chunk hands only its first byte on; the rest waits for the next chunk or the step timer.
TEST_F(ZavComTest, AckWithTrailingBytesLeavesThemQueuedForTheStepTimer) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Take();
    peer.Deliver(Hex("06") + "XY");
    EXPECT_EQ(peer.Take(), Hex("02") + f100);
    EXPECT_EQ(link.RxQueue, "XY");
    peer.Deliver("Z"); // X is handled: an unexpected byte after our frame
    EXPECT_EQ(link.RxQueue, "YZ");
    vt.Advance(500); // the expiry scans Y Z for SOH, ACK or NAK and finds none
    EXPECT_EQ(link.RxQueue, "");
    EXPECT_EQ(link.State, lsWaitFrameAck);
}

TEST_F(ZavComTest, QueuedSohAtStepTimerCountsAsAckThenStartsTheAnswer) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Deliver(Hex("06"));
    peer.Take();
    peer.Deliver(Hex("01")); // SOH first in a chunk: just an unexpected byte, gone
    EXPECT_EQ(link.State, lsWaitFrameAck);
    EXPECT_EQ(peer.Take(), "");
    peer.Deliver(Hex("00 01")); // SOH behind another byte stays queued
    vt.Advance(500);
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(link.State, lsReceiving);
    peer.Deliver(answer);
    EXPECT_EQ(answers.size(), 1u);
}

TEST_F(ZavComTest, AnswerSohInTheFrameAckChunkIsTakenByThe50msPoll) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Deliver(Hex("06"));
    peer.Take();
    peer.Deliver(Hex("06 01"));
    EXPECT_EQ(link.State, lsIdle);
    vt.Advance(49);
    EXPECT_EQ(peer.Take(), "");
    vt.Advance(1);
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(link.State, lsReceiving);
}

// An SOH found behind junk starts the receive, but the bytes behind it stay queued until the next byte.
TEST_F(ZavComTest, AnswerBehindJunkInOneChunkNeedsAnotherByte) {
    for (bool another : {true, false}) {
        SCOPED_TRACE(another);
        answers.clear();
        SendAndAckFrame(f100, Record(answers));
        vt.Advance(50);
        peer.Deliver("J" + Hex("01") + answer);
        EXPECT_EQ(peer.Take(), Hex("06"));
        EXPECT_EQ(link.State, lsReceiving);
        EXPECT_TRUE(answers.empty());
        if (another) {
            peer.Deliver(Hex("00"));
            EXPECT_EQ(answers, std::vector<std::string>{Hex("28 FF FF 12 34 5B")});
        } else {
            vt.Advance(1000); // refused, and the queued answer is dropped with it
            EXPECT_EQ(peer.Take(), Hex("15"));
            EXPECT_EQ(link.RxQueue, "");
            vt.Advance(1000);
            EXPECT_EQ(peer.Take(), "");
        }
        link.Reset();
        peer.Take();
    }
}

TEST_F(ZavComTest, RefusedSendNoAnswerStillReplacesTheCallback) {
    std::vector<std::string> first, second;
    ASSERT_TRUE(link.SendNoAnswer(f100, Record(first)));
    EXPECT_FALSE(link.SendNoAnswer(f100, Record(second)));
    EXPECT_EQ(peer.Take(), Hex("01")); // the refused request sends nothing
    EXPECT_EQ(traces, std::vector<std::string>{"Send nicht erlaubt"});
    peer.Deliver(Hex("06"));
    peer.Deliver(Hex("06"));
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, std::vector<std::string>{"return with no answer"});
}

TEST_F(ZavComTest, StaleNoAnswerCallbackSurvivesReset) {
    ASSERT_TRUE(link.SendNoAnswer(Hex("03 0C 05 13"), Record(noAnswers)));
    link.Reset();
    EXPECT_FALSE(peer.Hook);
    SendAndAckFrame(f100, Record(answers));
    EXPECT_EQ(noAnswers, std::vector<std::string>{"return with no answer"});
    EXPECT_EQ(link.State, lsIdle);
}

TEST_F(ZavComTest, NoAnswerCallbackMayStartTheNextRequest) {
    const std::string nameRequest = Hex("04 28 FF 90 BA");
    ASSERT_TRUE(link.SendNoAnswer(Hex("03 0C 05 13"), [&](const std::string&) {
        EXPECT_TRUE(link.Send(nameRequest, Record(answers)));
    }));
    peer.Deliver(Hex("06"));
    peer.Deliver(Hex("06"));
    EXPECT_EQ(link.State, lsWaitSohAck);
    EXPECT_EQ(peer.Take(), Hex("01 02 03 0C 05 13 01"));
    peer.Deliver(Hex("06"));
    EXPECT_EQ(peer.Take(), Hex("02") + nameRequest);
}

// A receive that completes leaves the step timer counting; the next receive must still get its full
// 1000 ms instead of the rest of the old countdown.
TEST_F(ZavComTest, EveryReceiveHasItsFull1000ms) {
    SendAndAckFrame(f100, Record(answers));
    peer.Deliver(Hex("01"));
    peer.Deliver(answer);
    ASSERT_EQ(answers.size(), 1u);
    peer.Take();

    vt.Advance(900);
    peer.Deliver(Hex("01")); // an unsolicited frame, 900 ms into the old countdown
    EXPECT_EQ(peer.Take(), Hex("06"));
    peer.Deliver(answer.substr(0, 3));
    vt.Advance(999);
    EXPECT_EQ(peer.Take(), "") << "refused before its 1000 ms were up";
    EXPECT_EQ(link.State, lsReceiving);
    peer.Deliver(answer.substr(3));
    EXPECT_EQ(peer.Take(), Hex("06"));
    EXPECT_EQ(link.ReceivedFrame, Hex("28 FF FF 12 34 5B"));
}

// A flood stays bounded: a pop keeps at most RxQueueLimit bytes queued (room for the longest frame).
TEST_F(ZavComTest, PopKeepsAtMostTheQueueLimit) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Deliver(Hex("06") + std::string(RxQueueLimit + 300, 'x'));
    EXPECT_EQ(link.RxQueue, std::string(RxQueueLimit, 'x'));
}

// Every answer the frame format allows (LEN 4 .. FF) arrives whole, however the peer's bytes are cut
// into data-available events. The longest one in a single chunk used to lose its checksum byte.
TEST_F(ZavComTest, EveryFrameLengthArrivesWholeInEveryChunking) {
    // A chunking is a list of chunk sizes; 0 means "the rest".
    struct Chunking {
        const char* Name;
        std::vector<size_t> Sizes;
    };
    const std::vector<Chunking> chunkings = {
        {"one chunk", {0}},
        {"STX alone", {1, 0}},
        {"STX and LEN, then the rest", {2, 0}},
        {"checksum alone", {static_cast<size_t>(-1), 0}}, // -1: all but the last byte
        {"byte by byte", {}},
        {"pairs", {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 0}},
        {"odd sizes", {3, 7, 250, 1, 0}},
    };
    for (int len : {4, 5, 6, 0x7F, 0x80, 0xFE, 0xFF}) {
        // Header, then payload bytes that include the control bytes and another frame start.
        std::string body = HeaderDefault;
        for (int i = 0; static_cast<int>(body.size()) < len - 1; ++i)
            body += static_cast<char>(i % 5 == 0 ? STX : (i * 37 + 1) & 0xFF);
        std::string frame(1, static_cast<char>(len));
        frame += body;
        unsigned sum = 0xFF;
        for (unsigned char c : frame) sum += c;
        frame += static_cast<char>(sum & 0xFF);
        const std::string wire = std::string(1, static_cast<char>(STX)) + frame;

        for (const Chunking& c : chunkings) {
            SCOPED_TRACE(testing::Message() << "LEN " << len << ", " << c.Name);
            answers.clear();
            SendAndAckFrame(f100, Record(answers));
            peer.Deliver(Hex("01"));
            ASSERT_EQ(peer.Take(), Hex("06"));
            size_t at = 0;
            std::vector<size_t> sizes = c.Sizes;
            if (sizes.empty()) sizes.assign(wire.size(), 1);
            for (size_t size : sizes) {
                if (at >= wire.size()) break;
                if (size == static_cast<size_t>(-1)) size = wire.size() - 1;
                if (size == 0 || at + size > wire.size()) size = wire.size() - at;
                EXPECT_TRUE(answers.empty()) << "delivered before its last byte";
                peer.Deliver(wire.substr(at, size));
                at += size;
            }
            EXPECT_EQ(peer.Take(), Hex("06"));
            EXPECT_EQ(link.State, lsIdle);
            ASSERT_EQ(answers.size(), 1u);
            EXPECT_EQ(answers[0], frame.substr(1));
            const TDecoded d = TZavCom::DecodeFrame(answers[0]);
            EXPECT_EQ(d.Error, 0);
            EXPECT_EQ(d.Payload, body.substr(3));
        }
    }
}

TEST_F(ZavComTest, EmptyReadHandsNoByteOn) {
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    peer.Take();
    peer.Hook(0);
    EXPECT_EQ(peer.Take(), "");
    EXPECT_EQ(link.State, lsWaitSohAck);
}

// A request not finished within 5000 ms of Send resets the link and reports the failure.
TEST_F(ZavComTest, SilentPeerTimesTheRequestOut) {
    const struct {
        const char* name;
        std::vector<std::string> replies;
    } cases[] = {
        {"silent after SOH", {}},
        {"silent after the frame", {Hex("06")}},
        {"never answering", {Hex("06"), Hex("06")}},
        {"answer never completed", {Hex("06"), Hex("06"), Hex("01"), Hex("02 09 28 FF FF")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        answers.clear();
        const int64_t start = vt.NowMs();
        ASSERT_TRUE(link.Send(f100, Record(answers)));
        for (const auto& r : c.replies)
            peer.Deliver(r);
        vt.Advance(start + 4999 - vt.NowMs());
        EXPECT_TRUE(errors.empty());
        vt.Advance(1);
        EXPECT_EQ(errors, std::vector<std::string>{"ZAVCOM_TO_RPF Error"});
        EXPECT_EQ(link.State, lsIdle);
        EXPECT_FALSE(peer.Hook);
        EXPECT_TRUE(answers.empty());
        EXPECT_EQ(vt.NextDueIn(), -1);
    }
}

TEST_F(ZavComTest, FinishedRequestsLeaveNoTimeOutBehind) {
    // Acknowledged notification with its callback, one without any callback, and a reset by hand.
    ASSERT_TRUE(link.SendNoAnswer(Hex("03 0C 05 13"), Record(noAnswers)));
    peer.Deliver(Hex("06"));
    peer.Deliver(Hex("06"));
    ASSERT_TRUE(link.SendNoAnswer(Hex("03 0C 05 13"), nullptr));
    peer.Deliver(Hex("06"));
    peer.Deliver(Hex("06"));
    vt.Advance(6000);
    ASSERT_TRUE(link.Send(f100, Record(answers)));
    link.Reset();
    vt.Advance(20000);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(noAnswers.size(), 1u);
}

TEST_F(ZavComTest, TimedOutRequestDropsItsCallbacks) {
    ASSERT_TRUE(link.SendNoAnswer(Hex("03 0C 05 13"), Record(noAnswers)));
    vt.Advance(5000);
    ASSERT_EQ(errors.size(), 1u);
    SendAndAckFrame(f100, Record(answers));
    EXPECT_TRUE(noAnswers.empty()); // the failed notification does not complete later
    EXPECT_EQ(link.State, lsIdle);
}

} // namespace

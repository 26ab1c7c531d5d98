// The modem component in virtual time: what it sends, how it follows the modem's replies, its
// timings and its failures, with the program's settings (init "AT^M", hang-up by DTR, dial time-out
// 45 s) unless a test says otherwise.

#include "ModemFixture.h"
#include "serial/modem/SxModemEngine.h"

using namespace sx;
using namespace sxtest;

TEST(ModemProperties, DefaultsAndCommandEscapes)
{
    TSxModem m;
    EXPECT_EQ(m.ComPort(), nullptr);
    EXPECT_EQ(m.InitCmd(), "ATZ^M");
    EXPECT_EQ(m.DialCmd(), "ATDT");
    EXPECT_EQ(m.DialTerm(), "^M");
    EXPECT_EQ(m.DialCancel(), "^M");
    EXPECT_EQ(m.HangupCmd(), "+++~~~ATH0^M");
    EXPECT_EQ(m.ConfigCmd(), "ATE1Q0X1V1^M");
    EXPECT_EQ(m.AnswerCmd(), "ATA^M");
    EXPECT_EQ(m.NoDialToneMsg(), "NO DIALTONE");
    EXPECT_EQ(m.NoCarrierMsg(), "NO CARRIER");
    EXPECT_EQ(m.ErrorCorrectionTags(), TTagSet{});
    EXPECT_TRUE(m.LockDTE());
    EXPECT_EQ(m.DialTimeout(), 60);
    EXPECT_EQ(m.CmdTimeout(), 182);
    EXPECT_EQ(m.DTRDropHold(), 8);
    EXPECT_EQ(m.TildeDelay(), 9);
    EXPECT_EQ(m.CharDelay(), 0);
    EXPECT_EQ(m.DelayFactor(), 2);
    EXPECT_TRUE(m.AutoStart());
    EXPECT_FALSE(m.Started());
    EXPECT_EQ(m.State(), esIdle);
    // Texts longer than their property holds are cut.
    m.SetOkMsg(std::string(30, 'K'));
    EXPECT_EQ(m.OkMsg().size(), 21u);
    m.SetInitCmd(std::string(60, 'A'));
    EXPECT_EQ(m.InitCmd().size(), 41u);
    m.SetConfigCmd(std::string(300, 'C'));
    EXPECT_EQ(m.ConfigCmd().size(), 255u);

    // Each command as bytes, with P for a tilde pause.
    auto expand = [](const std::string& cmd) {
        std::string s;
        for (const auto& [c, pause] : ExpandCommand(cmd)) {
            if (pause) s += "<P>";
            else s.push_back(static_cast<char>(c));
        }
        return s;
    };
    const struct {
        std::string Cmd, Bytes;
    } cases[] = {
        {"AT^M", "AT\r"},
        {"at^m", "at\r"},                        // lower case escapes too
        {"^@^A^Z^[^\\^]^^^_", std::string("\x00\x01\x1a\x1b\x1c\x1d\x1e\x1f", 8)},
        {"A^", "A^"},                            // at the end: itself
        {"^1^ ^`^{", "^1^ ^`^{"},                // before anything else: itself, the next as itself
        {"^~X", "^<P>X"},                        // the "^" stays, the tilde still pauses
        {"+++~~~ATH0^M", "+++<P><P><P>ATH0\r"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(expand(c.Cmd), c.Bytes) << c.Cmd;
}

TEST_F(ModemTest, SuccessfulCallGivesTheSpeedThenIsConnectedNineTicksLater)
{
    // As the console uses it: only three events, raised with the speed and then the connection.
    std::vector<std::string> program;
    modem.SetOnGotLineSpeed([&](TSxCustomModem& sender, int32_t speed) {
        EXPECT_EQ(&sender, &modem);
        program.push_back("speed " + std::to_string(speed));
    });
    modem.SetOnModemIsConnected([&](TSxCustomModem&) { program.push_back("connected"); });
    modem.SetOnConnectFailed([&](TSxCustomModem&) { program.push_back("failed"); });

    StartDial("06601234567");
    EXPECT_TRUE(modem.Started());
    EXPECT_TRUE(modem.IsConnecting());
    Ticks(5);
    Reply("\r\nCONNECT 9600\r\n");
    ASSERT_NE(Find("GotLineSpeed"), nullptr);
    const SeenEvent speed = *Find("GotLineSpeed"); // a copy: more events follow
    EXPECT_EQ(speed.Data, 9600);
    EXPECT_EQ(modem.State(), esWaitTags);
    EXPECT_TRUE(modem.IsConnecting());
    ASSERT_TRUE(TicksUntil([&] { return Find("ModemIsConnected") != nullptr; }, 40));
    const int64_t later = Find("ModemIsConnected")->Tick - speed.Tick;
    EXPECT_GE(later, 9);
    EXPECT_LE(later, 10);
    EXPECT_EQ(Names(), (std::vector<std::string>{"ModemConnect", "GotLineSpeed", "ModemIsConnected"}));
    EXPECT_EQ(program, (std::vector<std::string>{"speed 9600", "connected"}));
    EXPECT_EQ(modem.State(), esIdle);
    EXPECT_FALSE(modem.IsConnecting());
    EXPECT_EQ(port.Baud(), 19200); // LockDTE keeps the port's rate
    EXPECT_EQ(Sent(), "");
    // Nothing of the call stays armed: later replies change nothing.
    Reply("BUSY\r\nCONNECT 1200\r\n");
    Ticks(40);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(ModemTest, SpeedFollowsTheModemWhenTheRateIsNotLocked)
{
    modem.SetLockDTE(false);
    StartDial();
    Reply("CONNECT 2400/ARQ\r\n");
    EXPECT_EQ(port.Baud(), 2400);
    EXPECT_EQ(line->NearSettings().Baud, 2400);
    EXPECT_EQ(line->NearSettings().DataBits, 8);
}

TEST_F(ModemTest, ConnectWithoutDigitsGivesSpeed300AfterThirtySixTicks)
{
    StartDial();
    Reply("CONNECT\r\n");
    const int64_t connect = Tick();
    ASSERT_TRUE(TicksUntil([&] { return Find("GotLineSpeed") != nullptr; }, 60));
    EXPECT_EQ(Find("GotLineSpeed")->Data, 300);
    const int64_t waited = Find("GotLineSpeed")->Tick - connect;
    EXPECT_GE(waited, 36);
    EXPECT_LE(waited, 37);
    ASSERT_TRUE(TicksUntil([&] { return Find("ModemIsConnected") != nullptr; }, 20));
}

TEST_F(ModemTest, TagRepliesEndTheWaitAndMatchOnlyInTheirOwnCase)
{
    TTagSet ec, dc;
    ec.String1 = "LAPM";
    ec.String3 = "MNP";
    dc.String2 = "V42BIS";
    modem.SetErrorCorrectionTags(ec);
    modem.SetDataCompressionTags(dc);
    StartDial();
    Reply("CONNECT 14400\r\nPROTOCOL: lapm\r\n"); // wrong case: not a tag
    EXPECT_EQ(Find("GotErrCorrection"), nullptr);
    Reply("PROTOCOL: MNP\r\nPROTOCOL: LAPM\r\n"); // the first of the set counts, once
    Ticks(2);
    EXPECT_EQ(modem.State(), esWaitTags);
    Reply("COMPRESSION: V42BIS\r\n");
    // Both seen: connected at once, not after the tag wait.
    EXPECT_EQ(Names(), (std::vector<std::string>{"ModemConnect", "GotLineSpeed", "GotErrCorrection",
                                                 "GotDataCompression", "ModemIsConnected"}));
    EXPECT_LT(Find("ModemIsConnected")->Tick - Find("GotLineSpeed")->Tick, 9);
}

TEST_F(ModemTest, FailureRepliesGiveConnectFailedFirstAndOnlyBusyCancels)
{
    const struct {
        const char* Reply;
        const char* Event;
        bool Cancels;
    } cases[] = {
        {"busy\r\n", "ModemBusy", true}, // replies ignore case
        {"BUSY\r\n", "ModemBusy", true},
        {"VOICE\r\n", "ModemVoice", false},
        {"No Carrier\r\n", "ModemNoCarrier", false},
        {"NO DIALTONE\r\n", "ModemNoDialTone", false},
        {"ERROR\r\n", "ModemError", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reply);
        seen.clear();
        StartDial();
        const int64_t replied = Tick();
        Reply(c.Reply);
        EXPECT_EQ(Names(), (std::vector<std::string>{"ConnectFailed", c.Event}));
        EXPECT_EQ(modem.State(), esIdle);
        if (c.Cancels) {
            // The cancel string after a pause of twice the delay factor, then the delay factor.
            EXPECT_EQ(Sent(), "\r");
            EXPECT_GE(Tick() - replied, 2 * 2 + 2);
        } else {
            EXPECT_EQ(Sent(), "");
        }
        // Idle again, with nothing armed: no countdown, and another dial can start.
        Ticks(40);
        EXPECT_EQ(seen.size(), 2u);
    }
}

TEST_F(ModemTest, NoAnswerCountsDownEveryEighteenTicksThenFails)
{
    std::vector<uint16_t> counts;
    modem.SetOnDialCount([&](TSxCustomModem&, uint16_t remaining) { counts.push_back(remaining); });
    StartDial();
    const int64_t dialled = Tick();
    ASSERT_TRUE(TicksUntil([&] { return Find("DialTimedOut") != nullptr; }, 45 * 20));
    std::vector<uint16_t> expected;
    for (int n = 44; n >= 1; --n) expected.push_back(static_cast<uint16_t>(n));
    EXPECT_EQ(counts, expected);
    // Steps of 18 ticks (each fires on the tick after its 18th).
    std::vector<int64_t> ticks;
    for (const auto& e : seen)
        if (e.Name == "DialCount") ticks.push_back(e.Tick);
    ASSERT_EQ(ticks.size(), 44u);
    EXPECT_LE(ticks[0] - dialled, 19);
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_EQ(ticks[i] - ticks[i - 1], 19) << i;
    ASSERT_GE(seen.size(), 46u);
    EXPECT_EQ(seen[44].Name, "ConnectFailed");
    EXPECT_EQ(seen[45].Name, "DialTimedOut");
    EXPECT_EQ(seen.size(), 46u);
    EXPECT_EQ(Sent(), "\r"); // the dial was cancelled
    EXPECT_EQ(modem.State(), esIdle);
}

TEST_F(ModemTest, OperationsRaiseTheirFailures)
{
    // Busy and not dialing.
    StartDial();
    try {
        modem.Dial("555");
        FAIL() << "no exception";
    } catch (const EModemBusy& e) {
        EXPECT_EQ(e.ResultCode, -4002);
        EXPECT_STREQ(e.what(), "Modem is busy elsewhere");
    }
    EXPECT_THROW(modem.Initialize(), EModemBusy);
    EXPECT_THROW(modem.Hangup(), EModemBusy);
    EXPECT_THROW(modem.SetDialCmd("ATDP"), EModemBusy); // strings only while idle
    EXPECT_NO_THROW(modem.SetDialTimeout(30));          // timings at any time
    EXPECT_EQ(Sent(), "");
    modem.CancelCall();
    EXPECT_EQ(Sent(), "\r");
    EXPECT_EQ(modem.State(), esIdle);
    try {
        modem.CancelCall();
        FAIL() << "no exception";
    } catch (const EModemNotDialing& e) {
        EXPECT_EQ(e.ResultCode, -4003);
    }
    modem.SetDialCmd("ATDP");
    modem.Dial("");  // an empty number does nothing
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(modem.State(), esIdle);

    // A started modem without its engine, and no port at all.
    modem.SetAutoStart(false);
    port.SetOpen(false);
    EXPECT_FALSE(modem.Started());
    try {
        modem.Dial("1");
        FAIL() << "no exception";
    } catch (const EModemNotStarted& e) {
        EXPECT_EQ(e.ResultCode, -4001);
    }
    port.SetAutoOpen(false);
    port.SetOpen(false);
    try {
        modem.Initialize();
        FAIL() << "no exception";
    } catch (const ECommNotOpen& e) {
        EXPECT_EQ(e.ResultCode, -2007);
    }
    TSxModem unbound;
    try {
        unbound.Hangup();
        FAIL() << "no exception";
    } catch (const EPortNotAssigned& e) {
        EXPECT_EQ(e.ResultCode, -1005);
    }
    EXPECT_THROW(unbound.StartModem(), EPortNotAssigned);
}

TEST_F(ModemTest, CommandsEndWithOkErrorOrTimeOut)
{
    std::vector<uint16_t> outcomes;
    modem.SetOnCommandProcessed([&](TSxCustomModem&, uint16_t outcome) { outcomes.push_back(outcome); });
    modem.Initialize();
    EXPECT_EQ(Sent(), "AT\r");
    EXPECT_EQ(modem.State(), esCommand);
    EXPECT_FALSE(modem.IsConnecting());
    Reply("AT\r\r\nok\r\n");
    modem.Configure();
    EXPECT_EQ(Sent(), "AT\r");
    Reply("\r\nERROR\r\n");
    modem.Initialize();
    const int64_t sent = Tick();
    ASSERT_TRUE(TicksUntil([&] { return Find("CmdTimedOut") != nullptr; }, 200));
    EXPECT_GE(Find("CmdTimedOut")->Tick - sent, 182);
    EXPECT_EQ(outcomes, (std::vector<uint16_t>{meModemOk, meModemError, meCmdTimedOut}));
    std::vector<std::pair<std::string, int32_t>> got;
    for (const auto& e : seen) got.emplace_back(e.Name, e.Data);
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"ModemOk", 0},     {"CommandProcessed", 0},  {"ModemError", 0},
        {"CommandProcessed", 6}, {"CmdTimedOut", 0}, {"CommandProcessed", 10}};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(modem.State(), esIdle);
}

TEST_F(ModemTest, DtrHangupDropsDtrForEightTicksAndSendsNothing)
{
    modem.SetHangupCmd("dtr");
    modem.Initialize(); // opens the port, starts the engine
    Reply("OK\r\n");
    Sent();
    int64_t droppedAt = -1, raisedAt = -1;
    onSleep = [&] {
        if (!line->DTR() && droppedAt < 0) droppedAt = clock.NowMs();
    };
    const int64_t start = clock.NowMs();
    EXPECT_TRUE(line->DTR());
    modem.Hangup();
    raisedAt = clock.NowMs();
    EXPECT_TRUE(line->DTR());
    EXPECT_EQ(droppedAt - start, static_cast<int64_t>(TickMs) / 5); // low from the start of the pause
    EXPECT_GE(raisedAt - start, 8 * static_cast<int64_t>(TickMs));
    EXPECT_LE(raisedAt - start, 9 * static_cast<int64_t>(TickMs) + static_cast<int64_t>(TickMs) / 5);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(modem.State(), esIdle);
}

TEST_F(ModemTest, CommandHangupPausesAtEachTildeWhileEventsKeepFlowing)
{
    modem.SetHangupCmd("+++~~~ATH0^M");
    modem.SetEventPoster([&](std::function<void()> e) { gui.PostToGuiThread(std::move(e)); });
    modem.Initialize();
    Reply("OK\r\n");
    Sent();
    // Two events wait on the GUI thread; the hang-up's pauses run them.
    EXPECT_TRUE(seen.empty());
    std::string sentBeforePause;
    onSleep = [&] {
        if (sentBeforePause.empty()) sentBeforePause = Sent();
    };
    const int64_t start = Tick();
    modem.Hangup();
    EXPECT_EQ(Names(), (std::vector<std::string>{"ModemOk", "CommandProcessed"}));
    EXPECT_EQ(sentBeforePause, "+++");
    EXPECT_EQ(Sent(), "ATH0\r");
    EXPECT_GE(Tick() - start, 27);
    EXPECT_LE(Tick() - start, 30);
    EXPECT_EQ(modem.State(), esCommand);
    Reply("OK\r\n");
    EXPECT_EQ(Names().size(), 2u); // posted, not raised on the dispatch side
    gui.Pump();
    EXPECT_EQ(Names().size(), 4u);
}

TEST_F(ModemTest, ClosingThePortStopsTheEngineAndTheNextOperationStartsANewOne)
{
    StartDial();
    port.SetOpen(false);
    EXPECT_FALSE(modem.Started());
    EXPECT_EQ(modem.State(), esIdle);
    EXPECT_FALSE(modem.IsConnecting());
    // AutoStart: the dial opens the port (AutoOpen) and starts a new engine, which works.
    StartDial("77");
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(modem.Started());
    Reply("CONNECT 1200\r\n");
    EXPECT_TRUE(TicksUntil([&] { return Find("ModemIsConnected") != nullptr; }, 20));
    EXPECT_EQ(Find("GotLineSpeed")->Data, 1200);
    // No event from the first engine.
    EXPECT_EQ(Names(), (std::vector<std::string>{"ModemConnect", "GotLineSpeed", "ModemIsConnected"}));

    // A changed port moves the engine.
    TSxComPort other(&gui, &clock);
    modem.SetComPort(&other);
    EXPECT_FALSE(modem.Started()); // the old one was stopped; the new port is not opened for it
    modem.SetComPort(&port);
    modem.StartModem();
    EXPECT_TRUE(modem.Started());
    modem.SetComPort(nullptr);
    EXPECT_FALSE(modem.Started());
    EXPECT_THROW(modem.Dial("1"), EPortNotAssigned);
}

TEST_F(ModemTest, PostedEventsRunInOrderAndNeverAfterTheModemIsGone)
{
    std::vector<std::function<void()>> queue;
    auto m = std::make_unique<TSxModem>(&port, &clock);
    m->SetSleeper([this](int ms) { clock.Advance(ms); });
    m->SetDialTimeout(3);
    std::vector<std::string> got;
    m->SetEventPoster([&](std::function<void()> e) { queue.push_back(std::move(e)); });
    m->SetOnDialCount([&](TSxCustomModem&, uint16_t n) { got.push_back("count " + std::to_string(n)); });
    m->SetOnConnectFailed([&](TSxCustomModem&) { got.push_back("failed"); });
    m->SetOnDialTimedOut([&](TSxCustomModem&) { got.push_back("timeout"); });
    m->SetOnModemEvent([&](TSxCustomModem&, uint16_t what, int32_t) { got.push_back(EventName(what)); });
    m->Dial("1");
    Sent();
    Ticks(3 * 19 + 2);
    EXPECT_TRUE(got.empty()); // nothing is raised on the dispatch side
    ASSERT_EQ(queue.size(), 4u);
    queue[0]();
    queue[1]();
    EXPECT_EQ(got, (std::vector<std::string>{"count 2", "DialCount", "count 1", "DialCount"}));
    m.reset();
    // The rest arrive after the modem is gone: dropped.
    queue[2]();
    queue[3]();
    EXPECT_EQ(got.size(), 4u);
}

TEST_F(ModemTest, HangingUpAsTheConsoleDoesWorksInEveryConnectingState)
{
    // The console hangs up with: if IsConnecting then CancelCall; then Hangup. IsConnecting holds from
    // the dial to the end of the tag wait, so the cancel must be taken in each of those states, drop
    // whatever is armed (the tags too), and leave the modem idle for the hang-up.
    TTagSet ec;
    ec.String1 = "LAPM";
    modem.SetErrorCorrectionTags(ec);
    modem.SetVoiceMsg(""); // an empty reply is never waited for, and is no reason to refuse a dial
    const struct {
        const char* Name;
        std::string Reply;
        EngineState State;
        const char* Cancel; // what the cancel sends
    } cases[] = {
        {"dialling", "", esDialing, "\r"},
        {"waiting for the speed", "CONNECT", esWaitSpeed, "\r"},
        {"reading the speed", "CONNECT 96", esReadSpeed, "\r"},
        {"waiting for the tags", "CONNECT 9600\r\n", esWaitTags, ""}, // the call is up: nothing to cancel on the line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        seen.clear();
        StartDial();
        Reply(c.Reply);
        ASSERT_EQ(modem.State(), c.State);
        ASSERT_TRUE(modem.IsConnecting());
        modem.CancelCall();
        EXPECT_EQ(Sent(), c.Cancel);
        EXPECT_EQ(modem.State(), esIdle);
        modem.Hangup();
        EXPECT_EQ(Sent(), "");
        // Nothing of the call is left armed: no tag, speed, countdown or connect event follows.
        const size_t before = seen.size();
        Reply("00\r\nPROTOCOL: LAPM\r\nBUSY\r\n");
        Ticks(60);
        EXPECT_EQ(seen.size(), before);
    }
}

TEST_F(ModemTest, AutoAnswerCountsRingsAnswersAndFollowsTheConnect)
{
    modem.SetAutoAnswerRings(2);
    modem.SetRingWaitTimeout(40);
    modem.SetAnswerTimeout(2);
    modem.AutoAnswer();
    EXPECT_EQ(modem.State(), esAutoAnswer);
    Reply("\r\nRING\r\n");
    Ticks(45); // the caller gave up before the second ring: counting starts again
    Reply("RING\r\n");
    EXPECT_EQ(Sent(), "");
    Ticks(10);
    Reply("ring\r\n");
    EXPECT_EQ(Sent(), "ATA\r");
    EXPECT_EQ(modem.State(), esAnswering);
    EXPECT_TRUE(modem.IsConnecting());
    Reply("CONNECT 2400\r\n");
    ASSERT_TRUE(TicksUntil([&] { return Find("ModemIsConnected") != nullptr; }, 20));
    EXPECT_EQ(Names(), (std::vector<std::string>{"ModemRing", "ModemRing", "ModemRing", "ModemConnect",
                                                 "GotLineSpeed", "ModemIsConnected"}));

    // An answer nobody completes counts down like a dial.
    seen.clear();
    modem.Answer();
    EXPECT_EQ(Sent(), "ATA\r");
    ASSERT_TRUE(TicksUntil([&] { return Find("AnswerTimedOut") != nullptr; }, 60));
    EXPECT_EQ(Names(), (std::vector<std::string>{"AnswerCount", "ConnectFailed", "AnswerTimedOut"}));
    EXPECT_EQ(Sent(), "\r");

    // Waiting for rings is cancelled without a word to the modem.
    modem.AutoAnswer();
    modem.CancelCall();
    EXPECT_EQ(modem.State(), esIdle);
    EXPECT_EQ(Sent(), "");
}

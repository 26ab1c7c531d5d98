// The whole connection sequence through the real console, port, modem component, link object, the
// simulated Hayes modem on the line and the simulated lift controller behind it: modem test, dial with
// countdown, connect, data mode, synchronisation, notification, partner name, a link request, and the
// carrier loss that undoes it all; then each way it fails. The dialled number's last two digits choose
// what the simulated modem and controller do (busy line, silent controller, refusing controller,
// dropped carrier). Real time: every wait is on a condition with a generous deadline.

#include "ConsoleFixture.h"

#include "config/ed_ini.h"
#include "sim/FarEnds.h"
#include "sim/SimController.h"

#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>

#include <cstdio>
#include <fstream>

using namespace ctest;

namespace {

constexpr int Com = 44;

int NumberIn(const QLabel* l) {
    bool ok = false;
    const int n = l->text().toInt(&ok);
    return ok ? n : -1000;
}

// Position of the first memo line equal to text, or -1.
int MemoIndex(const TMyComPort& c, const std::string& text) {
    const auto lines = c.MemoLines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == text) return static_cast<int>(i);
    return -1;
}

} // namespace

class ConsoleSequenceTest : public QObject {
    Q_OBJECT

    // Opens the console's port on a fresh simulated modem and waits for its DSR.
    void OpenFreshModem() {
        static int n = 0;
        plat::SetComDevice(Com, "simmodem:console-seq-" + std::to_string(++n));
        QVERIFY(console->OpenPort(Com));
        QVERIFY(WaitFor([&] { return console->SxStatusLight4->Lit(); }));
    }

    void Dial(const std::string& number) {
        world.Answers.push_back({true, number});
        console->DialTestButton->click();
    }

private slots:
    void initTestCase() {
        world.Install();
        sim::SetDefaultFarEndFactory([](sim::TFault fault) {
            sim::TControllerSettings s;
            s.Fault = fault;
            s.CarrierDropAfterMs = 2000;
            return std::make_unique<sim::TSimController>(s);
        });
        // The modem settings a tool INI file gives the console.
        TIniStore& ini = ToolIni();
        ini.WriteString("Modem", "i1", "AT&F");
        ini.WriteString("Modem", "i2", "ATX3&D2&C1");
        ini.WriteString("Modem", "i3", "");
        ini.WriteString("modem", "Askmodem", "ATI0");
        ini.WriteString("modem", "Echooff", "ATE0");
    }
    void cleanupTestCase() { sim::SetDefaultFarEndFactory(nullptr); }

    void init() {
        world.MainLog.clear();
        world.Answers.clear();
        world.Prompts.clear();
        console = NewConsole();
    }
    void cleanup() {
        EndConsole(console);
        plat::ClearComDevices();
    }

    void wholeSequenceFromModemTestToCarrierLoss() {
        TMyComPort& c = *console;
        OpenFreshModem();

        // TEST: init strings, the modem's own initialisation, then AT and the identification.
        c.MODEMButton->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "MODEMTEST=COM44/19200/8N1/MODEM"; }));
        QCOMPARE(Text(c.ModemId), std::string("ini4zav SimModem V.34 33600"));
        QCOMPARE(c.ModemOpenPanel->Color(), clGreen);
        QCOMPARE(Text(c.ComPortLabel), std::string("COM44/19200/8N1/MODEM"));
        QVERIFY(c.ModemUsed);
        QVERIFY(MemoHas(c, "*****"));
        QCOMPARE(c.EchoOffCommand, std::string("ATE0"));
        QCOMPARE(CountMemo(c, R"(\d+ > MyComport/Modem-Init-Strings senden)"), 1);
        QCOMPARE(CountMemo(c, R"(\d+ > AT&F)"), 1);

        // Dial: the input box offers the stored number; the countdown runs until the modem connects.
        Dial("06601234567");
        QCOMPARE(world.Prompts.back(), std::string("TEST WAHL|w\xE4hle|06601234567"));
        QVERIFY(world.Logged("w\xE4hle: 06601234567"));
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer5"));
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel).rfind("noch ", 0) == 0; }));
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel) == "Connected"; }));
        QVERIFY(world.Logged("CONNECT 19200"));
        QCOMPARE(c.ConnectLed->Color(), clLime);
        const int leftOfCountdown = c.Timer1.Tag;
        QVERIFY(leftOfCountdown > 0 && leftOfCountdown < 45);

        // Data mode 200 ms later, then synchronisation, notification and the partner's name.
        QVERIFY(WaitFor([&] { return MemoHas(c, "NOTIFIED/CONNECTED"); }));
        QVERIFY(c.DataMode());
        QCOMPARE(c.DataModLed->Color(), clGreen);
        QCOMPARE(CountMemo(c, R"(\d+ > 415430310D   AT01)"), 1);
        const int sync = MemoIndex(c, "start-sync"), found = MemoIndex(c, "** MST.SYNC **"),
                  notify = MemoIndex(c, "** NOTIFY PARTNER **"),
                  notified = MemoIndex(c, "NOTIFIED/CONNECTED");
        QVERIFY(sync >= 0 && sync < found && found < notify && notify < notified);
        QVERIFY(world.Logged("SYNCHRONISIERT"));
        QCOMPARE(LinkColor, clGreen);
        QCOMPARE(c.link_led->Color(), clGreen);
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "SIMZAV1"; }));
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderDefault);

        // The seconds counter goes on from what the countdown left.
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer4"));
        QVERIFY(WaitFor([&] { return NumberIn(c.timerstring) >= leftOfCountdown + 1; }));
        QVERIFY(NumberIn(c.timerstring) < leftOfCountdown + 30);

        // A link request on the connection: the controller's identification, decoded.
        c.F100Button->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht).rfind("error=", 0) == 0; }));
        QCOMPARE(Text(c.Nachricht), std::string("error=0 ~F1~~00~SIM-ZAV 1 V1.00"));

        // HangUp drops DTR; the carrier watch sees DCD go and undoes the connection display.
        c.BitBtn5->click();
        QVERIFY(WaitFor([&] { return !c.Timer1.Enabled(); }));
        QCOMPARE(Text(c.DialStatusLabel), std::string("getrennt"));
        QCOMPARE(Text(c.timerstring), std::string()); // no count stays beside a call that is over
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QCOMPARE(c.DataModLed->Color(), clRed);
        QVERIFY(!c.DataMode());
        QCOMPARE(LinkColor, clRed);
        QCOMPARE(c.link_led->Color(), clRed);
        QVERIFY(!c.LinkUp);

        // Exit after TEST hangs up once more and closes the port.
        Reports.ReportFlags = 1u << 3;
        c.ShutDown(0);
        Reports.ReportFlags = 0;
        QVERIFY(world.Logged("port> modem.hangup"));
        QVERIFY(!c.SxComPort1.Open());
    }

    void busyLineIsAConnectFailure() {
        TMyComPort& c = *console;
        OpenFreshModem();
        Dial("0660123410");
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel) == "Modem Connect Fehler"; }));
        QCOMPARE(Text(c.Nachricht), std::string("WAHL-FEHLER"));
        QVERIFY(world.Logged("MODEM CONNECT FEHLER"));
        QVERIFY(!c.Timer1.Enabled());
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QVERIFY(!c.DataMode());
        // The modem's later lines (the echo of the cancel, then of a command) leave the failure shown.
        QVERIFY(c.SendText("AT\r"));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < OK)") >= 1; }));
        QCOMPARE(Text(c.Nachricht), std::string("WAHL-FEHLER"));
        // Pressing a button lets received lines through again.
        c.ATButton->click();
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < OK)") >= 2; }));
        QVERIFY(Text(c.Nachricht) != "WAHL-FEHLER");
        // Without a modem event the countdown stops at zero.
        c.Timer1.Tag = 1;
        c.Timer1.SetEnabled(true);
        c.Timer1Timer5();
        QCOMPARE(Text(c.DialStatusLabel), std::string("noch 0 sec"));
        QVERIFY(!c.Timer1.Enabled());
    }

    // A controller that never answers: ten probes, then "MST.SYNC FAILED" reaches the dial's failure text.
    // The call stays up and its carrier watched, so that HangUp, a new dial, CLOSE and TEST all work.
    void silentControllerFailsTheSynchronisation() {
        TMyComPort& c = *console;
        OpenFreshModem();
        Dial("0660123430");
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel) == "Connected"; }));
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "WAHL-FEHLER"; }));
        QCOMPARE(CountMemo(c, R"(\d+ > 01   )"), 10);
        QCOMPARE(SyncRetries, 0);
        QCOMPARE(MemoIndex(c, "** MST.SYNC **"), -1);
        QCOMPARE(LinkColor, clRed);
        QVERIFY(c.DataMode()); // the call is still up
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer4"));
        QVERIFY(c.Timer1.Enabled());

        // A dial test on the call that is up fails at once and counts nothing down.
        c.Nachricht->clear();
        const int tag = c.Timer1.Tag;
        Dial("06601234567");
        QCOMPARE(Text(c.Nachricht), std::string("WAHL-FEHLER"));
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer4"));
        QVERIFY(c.Timer1.Tag - tag <= 1);

        // HangUp ends the call; the modem's answer is a line; the carrier's going undoes the display.
        c.BitBtn5->click();
        QVERIFY(WaitFor([&] { return c.ConnectLed->Color() == clMaroon; }));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < NO CARRIER)") == 1; }));
        QVERIFY(!c.DataMode());
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));
        QCOMPARE(Text(c.DialStatusLabel), std::string("getrennt"));
        QVERIFY(!c.Timer1.Enabled());

        // A new dial goes out and counts down.
        Dial("0660123410");
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer5"));
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel) == "Modem Connect Fehler"; }));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < BUSY)") == 1; }));

        // CLOSE and COM open it again; TEST reads the modem's lines as lines.
        c.CLOSEButton->click();
        QVERIFY(c.OpenPort(Com));
        QVERIFY(WaitFor([&] { return c.SxStatusLight4->Lit(); }));
        c.MODEMButton->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "MODEMTEST=COM44/19200/8N1/MODEM"; }));
        QCOMPARE(Text(c.ModemId), std::string("ini4zav SimModem V.34 33600"));

        // An emptied number does nothing, and is offered next time.
        c.Timer1.SetEnabled(false);
        Dial("");
        QCOMPARE(c.DialNumber, std::string());
        QVERIFY(!c.Timer1.Enabled());
        world.Answers.push_back({false, ""});
        c.DialTestButton->click();
        QCOMPARE(world.Prompts.back(), std::string("TEST WAHL|w\xE4hle|"));
    }

    // Connect, a link request, HangUp, then a redial that meets a busy line; connected again, CLOSE and
    // the other port: nothing of the old connection stays shown.
    void redialAfterALinkRequestThenCloseAndTheOtherPort() {
        TMyComPort& c = *console;
        OpenFreshModem();
        Dial("06601234567");
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "SIMZAV1"; }));
        c.F100Button->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht).rfind("error=", 0) == 0; }));
        c.BitBtn5->click();
        QVERIFY(WaitFor([&] { return c.ConnectLed->Color() == clMaroon; }));
        Dial("0660123410");
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel) == "Modem Connect Fehler"; }));
        QCOMPARE(Text(c.Nachricht), std::string("WAHL-FEHLER"));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < BUSY)") == 1; }));

        Dial("06601234567");
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "SIMZAV1"; }));
        QCOMPARE(LinkColor, clGreen);
        c.CLOSEButton->click();
        plat::SetComDevice(2, "sim:console-seq-other");
        c.COM2Button->click();
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT OPEN"));
        QCOMPARE(Text(c.COMname), std::string("COM2"));
        QCOMPARE(Text(c.DialStatusLabel), std::string("getrennt"));
        QCOMPARE(Text(c.timerstring), std::string());
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QCOMPARE(c.DataModLed->Color(), clRed);
        QVERIFY(!c.DataMode());
        QCOMPARE(c.link_led->Color(), clRed);
        QVERIFY(!c.Timer1.Enabled());
    }

    // A controller that refuses the notification: the link keeps asking until its answer time runs out,
    // then the failure reaches the message line; the link indicators never turn green.
    void refusedNotificationEndsWithTheLinkTimeOut() {
        TMyComPort& c = *console;
        OpenFreshModem();
        Dial("0660123431");
        QVERIFY(WaitFor([&] { return MemoHas(c, "** NOTIFY PARTNER **"); }));
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "WAHL-FEHLER"; }));
        QCOMPARE(MemoIndex(c, "NOTIFIED/CONNECTED"), -1);
        QCOMPARE(zavcom::ZavCom->State, int32_t(zavcom::lsIdle));
        QCOMPARE(LinkColor, clRed);
        QVERIFY(!world.Logged("SYNCHRONISIERT"));
        // The call stays watched; CLOSE ends it and undoes the display at once.
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer4"));
        c.CLOSEButton->click();
        QVERIFY(!c.DataMode());
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QVERIFY(!c.Timer1.Enabled());
        QCOMPARE(Text(c.Nachricht), std::string("Verbindung beendet: Port geschlossen"));
    }

    // An identification command without an answer line of its own ends the test after a bounded wait.
    void modemTestWithoutAnIdentificationLineEnds() {
        TMyComPort& c = *console;
        ToolIni().WriteString("modem", "Askmodem", "ATZ");
        OpenFreshModem();
        c.MODEMButton->click();
        const bool ended = WaitFor([&] { return Text(c.Nachricht).rfind("MODEMTEST=", 0) == 0; });
        ToolIni().WriteString("modem", "Askmodem", "ATI0");
        QVERIFY(ended);
        QCOMPARE(Text(c.Nachricht),
                 std::string("MODEMTEST=COM44/19200/8N1/MODEM, keine Antwort auf ATZ (Kennung)"));
        QCOMPARE(Text(c.ModemId), std::string("keine ModemId"));
        QVERIFY(!c.OnOkLine); // nothing armed: a later OK changes nothing
    }

    // The controller drops the call in the middle of the session.
    void carrierLossUndoesTheConnection() {
        TMyComPort& c = *console;
        OpenFreshModem();
        Dial("0660123434");
        QVERIFY(WaitFor([&] { return MemoHas(c, "NOTIFIED/CONNECTED"); }));
        QCOMPARE(LinkColor, clGreen);
        QVERIFY(WaitFor([&] { return LinkColor == clRed; }));
        QVERIFY(!c.Timer1.Enabled());
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QCOMPARE(c.DataModLed->Color(), clRed);
        QVERIFY(!c.DataMode());
        QCOMPARE(c.link_led->Color(), clRed);
        // Neither the partner's name nor "Connected" stays.
        QCOMPARE(Text(c.DialStatusLabel), std::string("getrennt"));
        QCOMPARE(Text(c.timerstring), std::string());
        QCOMPARE(Text(c.Nachricht), std::string("Verbindung beendet: kein Tr\xE4ger (DCD aus)"));
    }

    // A failure or a CLOSE followed by another action: the console says what the line does. A modem button
    // on a closed port sends nothing, leaves the port closed and says why; HangUp and CLOSE abandon a
    // dial visibly; the TEST's memo lines are the capture's lines.
    void anActionAfterAFailureKeepsDisplayAndLineTogether() {
        TMyComPort& c = *console;
        OpenFreshModem();
        c.CLOSEButton->click();
        for (QPushButton* b : {c.MODEMButton, c.InitButton, c.BitBtn5, c.ATButton, c.F100Button}) {
            const size_t lines = c.MemoLines().size();
            b->click();
            QVERIFY2(!c.SxComPort1.Open(), plat::FromQ(b->text()).c_str());
            QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT CLOSED"));
            QCOMPARE(c.MemoLines().size(), lines + 1);
            QVERIFY2(Text(c.Nachricht).find("der Port ist geschlossen") != std::string::npos,
                     Text(c.Nachricht).c_str());
        }
        world.Answers.push_back({true, "06601234567"});
        c.DialTestButton->click();
        QVERIFY(!c.SxComPort1.Open());
        QVERIFY(!c.Timer1.Enabled());

        // HangUp while the modem dials a number that never answers: the countdown ends with the dial.
        OpenFreshModem();
        Dial("0660123414");
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel).rfind("noch ", 0) == 0; }));
        c.BitBtn5->click();
        QCOMPARE(Text(c.DialStatusLabel), std::string("Wahl abgebrochen"));
        QVERIFY(MemoHas(c, "HangUp: Wahl abgebrochen"));
        QVERIFY(!c.Timer1.Enabled());
        QVERIFY(!c.SxModem1.IsConnecting());
        // CLOSE while dialling does the same.
        Dial("0660123414");
        QVERIFY(WaitFor([&] { return Text(c.DialStatusLabel).rfind("noch ", 0) == 0; }));
        c.CLOSEButton->click();
        QCOMPARE(Text(c.DialStatusLabel), std::string("Wahl abgebrochen"));
        QCOMPARE(Text(c.Nachricht), std::string("Wahl abgebrochen: Port geschlossen"));
        QVERIFY(!c.Timer1.Enabled());

        // The capture holds the lines the memo holds, the TEST's "*****" among them.
        OpenFreshModem();
        const std::string path = QDir::temp().filePath(QStringLiteral("ini4zav-seq-%1.log")
                                                           .arg(QCoreApplication::applicationPid()))
                                     .toStdString();
        std::remove(path.c_str());
        c.BitBtn3->click();
        QVERIFY(c.StartCapture(path));
        c.MODEMButton->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "MODEMTEST=COM44/19200/8N1/MODEM"; }));
        c.StopCapture();
        std::ifstream in(path);
        std::vector<std::string> captured;
        for (std::string l; std::getline(in, l);)
            captured.push_back(l.substr(l.find(' ', l.find(' ') + 1) + 3)); // after date, time, direction
        std::remove(path.c_str());
        std::vector<std::string> memo;
        for (const std::string& l : c.MemoLines())
            memo.push_back(std::regex_replace(l, std::regex(R"(^\d+ [<>] )"), ""));
        QCOMPARE(captured, memo);
        QVERIFY(MemoHas(c, "*****"));
    }

    // The program ends during a call after a TEST: data mode ends before the modem hangs up, so its answer
    // is read as a line, not as one-byte hex lines.
    void programEndDuringACallLeavesDataModeFirst() {
        TMyComPort& c = *console;
        OpenFreshModem();
        c.MODEMButton->click();
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "MODEMTEST=COM44/19200/8N1/MODEM"; }));
        Dial("06601234567");
        QVERIFY(WaitFor([&] { return MemoHas(c, "NOTIFIED/CONNECTED"); }));
        c.ShutDown(0);
        QVERIFY(!c.DataMode());
        QCOMPARE(CountMemo(c, R"(\d+ < 4E   N)"), 0);
        QVERIFY(!c.SxComPort1.Open());
    }

private:
    World world;
    std::unique_ptr<TMyComPort> console;
};

QTEST_MAIN(ConsoleSequenceTest)
#include "ConsoleSequenceTest.moc"

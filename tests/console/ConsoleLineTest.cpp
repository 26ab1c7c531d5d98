// The console on a plain simulated line whose far end the test plays by hand: the bytes of every button,
// the received-line rules with and without data mode, traffic lines and their copy in the main log, the
// manual synchronisation, the close query, and the messages when a port cannot be opened.

#include "ConsoleFixture.h"

#include "serial/device/SxDevices.h"
#include "serial/device/SxSimLine.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>

#include <mutex>

#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ctest;

namespace {

constexpr int Com = 41;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}

} // namespace

class ConsoleLineTest : public QObject {
    Q_OBJECT

    // Takes n bytes the console sent, letting the GUI thread run meanwhile.
    std::string Far(size_t n) {
        std::string got;
        WaitFor(
            [&] {
                got += line->Read(n - got.size(), 0);
                return got.size() >= n;
            },
            10000);
        return got;
    }
    // The controller's side of a partner-name request: takes the request and answers with the
    // 5-byte name field (two zero bytes after it, as a controller sends them).
    void AnswerNameRequest(const std::string& name) {
        QCOMPARE(Far(1), Bytes({0x01}));
        line->Write(Bytes({0x06}));
        QCOMPARE(Far(6), Bytes({0x02, 0x04, 0x28, 0xFF, 0x90, 0xBA}));
        line->Write(Bytes({0x06, 0x01}));
        QCOMPARE(Far(1), Bytes({0x06}));
        line->Write(Bytes({0x02, 0x0A, 0x28, 0xFF, 0x91}) + name + Bytes({0x00, 0x00}));
    }
    // Whatever the console sent in the last moments (for "nothing else was sent").
    static std::vector<std::string> FileLines(const std::string& path) {
        QFile f(plat::ToQ(path));
        if (!f.open(QIODevice::ReadOnly)) return {};
        std::vector<std::string> lines;
        for (const QByteArray& l : f.readAll().split('\n'))
            lines.push_back(plat::FromQ(QString::fromUtf8(l)));
        if (!lines.empty() && lines.back().empty()) lines.pop_back();
        return lines;
    }
    std::string FarRest() {
        QTest::qWait(100);
        return line->Read(4096, 0);
    }

private slots:
    void initTestCase() { world.Install(); }

    void init() {
        const std::string name = "sim:console-line-" + std::to_string(++lineNumber);
        plat::SetComDevice(Com, name);
        line = sx::TSxSimLine::Get(sx::TSxSimLine::LineName(name));
        line->SetLines(sx::msCTS | sx::msDSR);
        world.MainLog.clear();
        world.Answers.clear();
        world.Prompts.clear();
        Reports.ReportFlags = 0;
        console = NewConsole();
    }

    void cleanup() {
        EndConsole(console);
        plat::ClearComDevices();
    }

    void startsWithTheInitialDisplayAndOpensTheLine() {
        TMyComPort& c = *console;
        QCOMPARE(c.MemoLines(), std::vector<std::string>{"OutMemo"});
        QCOMPARE(Text(c.Nachricht), std::string("  keine Nachricht"));
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT CLOSED"));
        QCOMPARE(c.ComOpenPanel->Color(), clRed);
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QCOMPARE(c.DataModLed->Color(), clRed);
        QCOMPARE(Text(c.ModemId), std::string("keine ModemId"));
        QCOMPARE(c.DialNumber, std::string("06601234567"));
        QVERIFY(ConsoleAlive);
        QCOMPARE(c.SxComPort1.BufferFull(), uint16_t(3686));
        QCOMPARE(c.SxComPort1.BufferResume(), uint16_t(409));
        QCOMPARE(c.SxModem1.DialTimeout(), 45);
        QCOMPARE(c.SxModem1.HangupCmd(), std::string("DTR"));
        QVERIFY(!c.SendText("AT\r")); // closed: nothing sent, nothing logged
        QCOMPARE(c.MemoLines().size(), size_t(1));

        QVERIFY(c.OpenPort(Com));
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT OPEN"));
        QCOMPARE(c.ComOpenPanel->Color(), clGreen);
        QCOMPARE(Text(c.COMname), std::string("COM41"));
        QCOMPARE(Text(c.ComPortLabel), std::string("COM41/19200/8N1"));
        QCOMPARE(c.PortDescription, std::string("COM41/19200/8N1"));
        QCOMPARE(CountMemo(c, R"(\d+ > myport: open)"), 2);
        const sx::TSxLineSettings s = line->NearSettings();
        QCOMPARE(s.Baud, 19200);
        QCOMPARE(int(s.DataBits), 8);
        QVERIFY(s.OutxCtsFlow); // RTS/CTS flow control
        QVERIFY(line->DTR());
        QVERIFY(WaitFor([&] { return c.SxStatusLight4->Lit(); })); // DSR from the far end

        QVERIFY(c.ClosePort());
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT CLOSED"));
        QVERIFY(!c.SxComPort1.Open());
        QVERIFY(c.Closing);
    }

    // Every button that writes to the line, with the bytes the far end receives.
    void buttonsSendTheirBytes() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        // Typed bytes by value: control characters, hex bytes in both notations, a lone "$" as itself.
        world.Answers = {{true, "ATI3"}, {false, ""}, {true, "$01^m\\x7e$G"}};
        struct Row {
            QPushButton* Button;
            std::string Sent;
            QString CaptionAfter;
        };
        const std::vector<Row> rows = {
            {c.ATButton, "AT\r", QStringLiteral("-> 'AT'")},
            {c.SOHButton, Bytes({0x01}), QStringLiteral("-> 'SOH'")},
            {c.ATSButton, "ATS0?\r", QStringLiteral("ATS1?")},
            {c.ATSButton, "ATS1?\r", QStringLiteral("ATS2?")},
            {c.IDButton, "ATI0\r", QStringLiteral("ATI1")},
            {c.EchoButton, "ATE0\r", QStringLiteral("ECHO/OFF")},
            {c.BitBtn2, "ATI3\r", QStringLiteral("INP.BOX")},
            {c.BitBtn2, "", QStringLiteral("INP.BOX")}, // cancelled: nothing is sent
            {c.BitBtn2, "\x01\r~$G\r", QStringLiteral("INP.BOX")},
            {c.BitBtn1, "", QStringLiteral("MEMO/ASCII")},
            {c.Button1, "", QStringLiteral("BUFFER")},
        };
        for (const Row& r : rows) {
            r.Button->click();
            if (!r.Sent.empty()) QCOMPARE(Far(r.Sent.size()), r.Sent);
            QCOMPARE(FarRest(), std::string());
            QCOMPARE(r.Button->text(), r.CaptionAfter);
        }
        QCOMPARE(world.Prompts.front(), std::string("TEST STRING|") + InpBoxPrompt + "|AT");
        // Traffic lines without data mode: time, marker, readable text.
        QCOMPARE(CountMemo(c, R"(\d+ > AT)"), 1);
        QCOMPARE(CountMemo(c, R"(\d+ > )"), 1); // a lone SOH has no readable text
        QCOMPARE(CountMemo(c, R"(\d+ > ATS0\?)"), 1);
        QCOMPARE(CountMemo(c, R"(\d+ > 010D7E24470D   ~\$G)"), 1); // as the bytes went out

        // The counters wrap: ATS after 21 clicks and ATI after 11 send their first command again.
        for (int i = 2; i <= 20; ++i) {
            c.ATSButton->click();
            QCOMPARE(Far(6 + (i >= 10)), "ATS" + std::to_string(i) + "?\r");
        }
        c.ATSButton->click();
        QCOMPARE(Far(6), std::string("ATS0?\r"));
        for (int i = 1; i <= 10; ++i) {
            c.IDButton->click();
            QCOMPARE(Far(5 + (i >= 10)), "ATI" + std::to_string(i) + "\r");
        }
        c.IDButton->click();
        QCOMPARE(Far(5), std::string("ATI0\r"));

        // Link requests: SOH, then on ACK STX and the frame; the answer is decoded into the message line.
        struct Link {
            QPushButton* Button;
            std::string Frame;
        };
        const std::vector<Link> links = {
            {c.F100Button, Bytes({0x06, 0x28, 0xFF, 0xFF, 0xF1, 0x00, 0x1C})},
            {c.F101Button, Bytes({0x06, 0x28, 0xFF, 0xFF, 0xF1, 0x01, 0x1D})},
            {c.F140Button, Bytes({0x06, 0x28, 0xFF, 0xFF, 0xF1, 0x40, 0x5C})},
            {c.F07000F100Button, Bytes({0x0A, 0x28, 0xFF, 0xFF, 0xF0, 0x10, 0x70, 0x00, 0xF1, 0x00, 0x90})},
            {c.F07001F100Button, Bytes({0x0A, 0x28, 0xFF, 0xFF, 0xF0, 0x10, 0x70, 0x01, 0xF1, 0x00, 0x91})},
            {c.BitBtn9, Bytes({0x03, 0x0C, 0x05, 0x13})},
        };
        for (const Link& l : links) {
            l.Button->click();
            QCOMPARE(Far(1), Bytes({0x01}));
            line->Write(Bytes({0x06}));
            QCOMPARE(Far(1 + l.Frame.size()), Bytes({0x02}) + l.Frame);
            line->Write(Bytes({0x06}));
            QVERIFY(WaitFor([] { return zavcom::ZavCom->State == zavcom::lsIdle; }));
            c.BitBtn10->click(); // NC/RESET
        }
        // An answer to RPF/F100 is shown decoded.
        c.Nachricht->clear();
        c.F100Button->click();
        QCOMPARE(Far(1), Bytes({0x01}));
        line->Write(Bytes({0x06}));
        QCOMPARE(Far(8).size(), size_t(8));
        line->Write(Bytes({0x06, 0x01}));
        QCOMPARE(Far(1), Bytes({0x06})); // the console acknowledges the answer's SOH
        line->Write(Bytes({0x02, 0x08, 0x28, 0xFF, 0xFF, 0xF1, 0x00, 'O', 'K', 0x00}));
        QCOMPARE(Far(1), Bytes({0x06}));
        QVERIFY(WaitFor([&] { return !c.Nachricht->text().isEmpty(); }));
        QCOMPARE(Text(c.Nachricht), std::string("error=0 ~F1~~00~OK"));
    }

    // At the size the console first gets, long lines wrap instead of pushing the time stamps out of
    // view, and a long message shows from its beginning.
    // Cancelling an input box does what it says: "INP.BOX" sends nothing, "TEST WAHL" dials nothing and
    // keeps the stored number.
    void cancelledInputBoxesDoNothing() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        c.BitBtn2->click();
        c.DialTestButton->click();
        QCOMPARE(world.Prompts.back(), std::string("TEST WAHL|w\xE4hle|06601234567"));
        QCOMPARE(FarRest(), std::string());
        QCOMPARE(c.DialNumber, std::string("06601234567"));
        QVERIFY(!world.Logged("w\xE4hle: 06601234567"));
        QVERIFY(!c.Timer1.Enabled());
        QCOMPARE(CountMemo(c, R"(\d+ > .*)"), 2); // only the two lines of the open
    }

    // The capture: every line appended at once with date, time and direction, readable while it runs;
    // CLOSE ends it, a new one appends; a bad path or a full disk stops it with a German message and
    // the line goes on. The memo saved as text holds the memo's lines.
    void captureWritesEveryLineAtOnce() {
        TMyComPort& c = *console;
        QTemporaryDir dir;
        const std::string path = plat::FromQ(dir.filePath(QStringLiteral("mitschnitt.log")));
        QVERIFY(c.OpenPort(Com));
        world.FileNames = {path};
        c.CaptureButton->click();
        QVERIFY(c.Capturing());
        QCOMPARE(c.CaptureLed->Color(), clLitLight);
        QCOMPARE(c.CaptureLabel->text(), QStringLiteral("mitschnitt.log"));
        c.ATButton->click();
        QCOMPARE(Far(3), std::string("AT\r"));
        line->Write("OK\r\n");
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < OK)") == 1; }));
        c.SetDataMode(true);
        QCOMPARE(Far(5), std::string("AT01\r"));
        const auto lines = FileLines(path); // read while the capture runs
        const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
        QCOMPARE(lines.size(), size_t(4));
        QVERIFY(std::regex_match(lines[0], std::regex(stamp + R"(\* Mitschnitt in .*mitschnitt\.log)")));
        QVERIFY2(std::regex_match(lines[1], std::regex(stamp + "> AT")), lines[1].c_str());
        QVERIFY(std::regex_match(lines[2], std::regex(stamp + "< OK")));
        QVERIFY(std::regex_match(lines[3], std::regex(stamp + "> 415430310D   AT01")));
        const QDateTime written = QDateTime::fromString(QString::fromStdString(lines[1].substr(0, 23)),
                                                        QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY(std::abs(written.msecsTo(QDateTime::currentDateTime())) < 3600 * 1000); // local time
        c.SetDataMode(false);

        c.CLOSEButton->click();
        QVERIFY(!c.Capturing());
        QCOMPARE(c.CaptureLed->Color(), clUnlitLight);
        QVERIFY(std::regex_match(FileLines(path).back(), std::regex(stamp + R"(\* Mitschnitt beendet)")));
        QVERIFY(c.OpenPort(Com));
        QCOMPARE(FileLines(path).size(), size_t(5)); // nothing while no capture runs
        world.FileNames = {path};
        c.CaptureButton->click();
        c.ATButton->click();
        QCOMPARE(FileLines(path).size(), size_t(7)); // appended to the first capture

        // A folder that does not exist, a device, then a file that can take no more (a full disk; here the
        // file size limit): a German message, no capture, the line works.
        QVERIFY(!c.StartCapture(path + "/x/y.log"));
        QVERIFY(!c.Capturing());
        QVERIFY(Text(c.Nachricht).find("Mitschnitt nicht m\xF6glich: ") == 0);
        QVERIFY(!c.StartCapture("/dev/full"));
        QCOMPARE(Text(c.Nachricht), std::string("Mitschnitt nicht m\xF6glich: /dev/full: das ist keine "
                                                "gew\xF6hnliche Datei (Ger\xE4t oder Pipe), bitte eine Datei "
                                                "w\xE4hlen"));
        QVERIFY(c.StartCapture(path));
        struct rlimit before;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        const struct rlimit full = {rlim_t(QFileInfo(plat::ToQ(path)).size()), before.rlim_max};
        const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
        c.ATButton->click();
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::signal(SIGXFSZ, oldHandler);
        QVERIFY(!c.Capturing());
        QCOMPARE(Text(c.Nachricht), "Mitschnitt gestoppt: " + path +
                                        ": die Datei hat ihre h\xF6"
                                        "chste Gr\xF6\xDF"
                                        "e erreicht");
        QCOMPARE(c.CaptureLed->Color(), clUnlitLight);
        QVERIFY(c.SxComPort1.Open());
        QVERIFY(c.SendText("AT\r"));
        QCOMPARE(Far(9), std::string("AT\rAT\rAT\r"));

        const std::string memo = plat::FromQ(dir.filePath(QStringLiteral("memo.txt")));
        world.FileNames = {memo};
        c.SaveMemoButton->click();
        QCOMPARE(FileLines(memo), c.MemoLines());
        QVERIFY(!c.SaveMemo("/dev/full"));
        QVERIFY(
            Text(c.Nachricht).find("Memo nicht gespeichert: /dev/full: das ist keine gew\xF6hnliche Datei") ==
            0);
    }

    // Windows' save dialog hands back the user's "Prüfung Süd.log" with the filter's ".txt" appended: the
    // capture goes to the name the user gave; a name the user gave with ".txt" stays as it is.
    void captureKeepsTheUsersOwnSuffix() {
        TMyComPort& c = *console;
        QTemporaryDir dir;
        const std::string own = plat::FromQ(dir.filePath(QStringLiteral("Pr\u00fcfung S\u00fcd.log")));
        QVERIFY(c.OpenPort(Com));
        world.FileNames = {own + ".txt"};
        c.CaptureButton->click();
        QVERIFY(c.Capturing());
        QCOMPARE(c.CaptureLabel->text(), QStringLiteral("Pr\u00fcfung S\u00fcd.log"));
        QVERIFY(QFileInfo::exists(plat::ToQ(own)));
        QVERIFY(!QFileInfo::exists(plat::ToQ(own + ".txt")));
        c.CaptureButton->click();
        const std::string plain = plat::FromQ(dir.filePath(QStringLiteral("notiz.txt")));
        world.FileNames = {plain};
        c.CaptureButton->click();
        QCOMPARE(c.CaptureLabel->text(), QStringLiteral("notiz.txt"));
    }

    // BREAK: its length from the field; a bad length and a closed port are said in German and send
    // nothing. The far end gets the bytes sent before, then a break at least as long as asked; the memo
    // and the capture get a traffic line for it.
    void breakHoldsTheLineForTheChosenLength() {
        TMyComPort& c = *console;
        QCOMPARE(Text(c.BreakLength), std::string("250"));
        c.BreakButton->click();
        QCOMPARE(Text(c.Nachricht),
                 std::string("BREAK nicht gesendet: der Port ist geschlossen; erst mit COM1 oder COM2 \xF6"
                             "ffnen"));
        QVERIFY(c.OpenPort(Com));
        QTemporaryDir dir;
        const std::string path = plat::FromQ(dir.filePath(QStringLiteral("mitschnitt.log")));
        QVERIFY(c.StartCapture(path));
        for (const char* bad : {"", "abc", "9", "2001", "25x"}) {
            c.BreakLength->setText(QString::fromLatin1(bad));
            c.BreakButton->click();
            QCOMPARE(Text(c.Nachricht), "BREAK nicht gesendet: die L\xE4nge \x84" + std::string(bad) +
                                            "\x93 ist keine Zahl von 10 bis 2000 (Millisekunden)");
        }
        std::mutex m;
        std::string far;
        line->SetOnData([&](const uint8_t* data, size_t n) {
            std::lock_guard<std::mutex> g(m);
            far.append(reinterpret_cast<const char*>(data), n);
        });
        line->SetOnBreak([&](int ms) {
            std::lock_guard<std::mutex> g(m);
            far += ms >= 120 ? "[BREAK]" : "[SHORT BREAK]";
        });
        c.ATButton->click();
        c.BreakLength->setText(QStringLiteral(" 120 "));
        QTest::keyClick(c.BreakLength, Qt::Key_Return); // Enter in the field sends it too
        {
            std::lock_guard<std::mutex> g(m);
            QCOMPARE(far, std::string("AT\r[BREAK]"));
        }
        line->SetOnData(nullptr);
        line->SetOnBreak(nullptr);
        QCOMPARE(CountMemo(c, R"(\d+ > \[BREAK 120 ms\])"), 1);
        QVERIFY(std::regex_match(FileLines(path).back(), std::regex(R"(\S+ \S+ > \[BREAK 120 ms\])")));
        QVERIFY(!line->NearBreak());
    }

    void longLinesStayReadable() {
        TMyComPort& c = *console;
        c.resize(c.minimumSizeHint());
        c.show();
        QVERIFY(QTest::qWaitForWindowExposed(&c));
        const std::string hint = OpenFailureText(1, "/dev/ttyUSB0", nullptr) + std::string(200, 'x');
        c.LogMessage(hint);
        c.Nachricht->setText(plat::ToQ(hint));
        QCoreApplication::processEvents();
        QCOMPARE(c.Memo->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(c.Nachricht->cursorPosition(), 0);
    }

    void receivedLinesFollowTheLineRules() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        int oks = 0;
        c.OnOkLine = [&] { ++oks; };

        // OK CR LF is the line "OK": the OK step runs, the message line is left alone.
        line->Write("OK\r\n");
        QVERIFY(WaitFor([&] { return oks == 1; }));
        QCOMPARE(Text(c.Nachricht), std::string("  keine Nachricht"));
        QCOMPARE(CountMemo(c, R"(\d+ < OK)"), 1);
        // "OK " is not "OK".
        line->Write("OK \r");
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "OK "; }));
        QCOMPARE(oks, 1);
        // An empty line empties the message line and is not logged.
        const size_t logged = c.MemoLines().size();
        line->Write("\r\r");
        QVERIFY(WaitFor([&] { return c.Nachricht->text().isEmpty(); }));
        QCOMPARE(c.LastLine, std::string());
        QCOMPARE(c.MemoLines().size(), logged);
        // Bytes outside the printable range are shown as $XX; CONNECT sets the connect label only.
        line->Write(Bytes({0x06}) + "a{\rCONNECT 9600\r");
        QVERIFY(WaitFor([&] { return Text(c.ConnectLabel) == "CONNECT 9600"; }));
        QCOMPARE(c.LastLine, std::string("CONNECT 9600"));
        QCOMPARE(CountMemo(c, R"(\d+ < \$06a\$7B)"), 1);
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QVERIFY(!c.DataMode());

        // Main-log copy of console lines only while report switch 9 is set.
        QVERIFY(world.MainLog.empty());
        Reports.ReportFlags = 1u << 9;
        c.ATButton->click();
        QCOMPARE(Far(3), std::string("AT\r"));
        QCOMPARE(world.MainLog.size(), size_t(1));
        QVERIFY(std::regex_match(world.MainLog[0], std::regex(R"(\d+ > AT)")));
        QCOMPARE(world.MainLog[0], c.MemoLines().back());
        Reports.ReportFlags = 0;

        // Data mode: "AT01" CR goes out, traffic lines carry hex, every byte is a line of its own.
        c.SetDataMode(true);
        QCOMPARE(Far(5), std::string("AT01\r"));
        QCOMPARE(c.DataModLed->Color(), clGreen);
        QCOMPARE(CountMemo(c, R"(\d+ > 415430310D   AT01)"), 1);
        line->Write("OK" + Bytes({0x06}));
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "$06"; }));
        QCOMPARE(oks, 1); // "O" and "K" are two lines
        QCOMPARE(CountMemo(c, R"(\d+ < 4F   O)"), 1);
        QCOMPARE(CountMemo(c, R"(\d+ < 4B   K)"), 1);
        QCOMPARE(CountMemo(c, R"(\d+ < 243036   \$06)"), 1);
        // A link frame read in pieces is one line, as when it comes in one read.
        c.ReceiveHook = [&](uint16_t n) { c.ReadChars(n); };
        line->Write(Bytes({0x06, 0x02, 0x06, 0x28}));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < 06   )") == 1; }));
        line->Write(Bytes({0xFF, 0xFF, 0xF1, 0x00, 0x1C}));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < 020628FFFFF1001C   .*)") == 1; }));
        c.ReceiveHook = nullptr;
        c.SetDataMode(false);
        QCOMPARE(c.DataModLed->Color(), clRed);
        QCOMPARE(FarRest(), std::string()); // leaving data mode sends nothing
    }

    // A peer that never sends CR: its line is cut after 4 KB and marked, and the next bytes go on.
    void anEndlessLineIsCutAndMarked() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        line->Write(std::string(10000, 'A'));
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < A{4096} \[\.\.\.\])") == 2; }));
        QVERIFY(c.LineBuffer.size() < 4096);
        line->Write("\r");
        QVERIFY(WaitFor([&] { return CountMemo(c, R"(\d+ < A{1808})") == 1; }));
    }

    // LOCAL parks the receive hook and puts it back; the byte path is silent while Closing.
    void localModeAndClosingBytePath() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        int hooked = 0;
        c.ReceiveHook = [&](uint16_t n) {
            hooked += n;
            c.ReadChars(n);
        };
        c.TestButton->click(); // saves the hook
        QVERIFY(c.LocalMode);
        c.ReceiveHook = nullptr;
        c.TestButton->click(); // restores it
        QVERIFY(!c.LocalMode);
        line->Write("xyz");
        QVERIFY(WaitFor([&] { return hooked == 3; }));
        QCOMPARE(CountMemo(c, R"(\d+ < xyz)"), 1);

        c.Closing = true;
        c.SendChar('A');
        QVERIFY(!c.SendText("AT\r"));
        QCOMPARE(c.ReadChars(5), std::string());
        QCOMPARE(FarRest(), std::string());
    }

    // "MST.SYNC" right after start has no retries left: it fails at the first retry tick, unless the
    // controller's answer 06 15 15 comes first, which leads on to the notification.
    void manualSynchronisation() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        SyncRetries = 0;
        c.SyncButton->click();
        QCOMPARE(Far(1), Bytes({0x01}));
        QVERIFY(MemoHas(c, "start-sync"));
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "MST.SYNC FAILED"; }));
        QVERIFY(!c.Timer1.Enabled());
        QCOMPARE(FarRest(), std::string()); // no second probe

        // The button keeps the count that is left; with retries to spare, a chunk of fewer than three
        // bytes uses one up and the search starts with the third byte.
        SyncRetries = 10;
        c.SyncButton->click();
        QCOMPARE(Far(1), Bytes({0x01}));
        line->Write(Bytes({0x06, 0x15}));
        QVERIFY(WaitFor([&] { return SyncBuffer.size() == 2; }));
        QVERIFY(SyncRetries <= 9);
        QVERIFY(!MemoHas(c, "** MST.SYNC **"));
        line->Write(Bytes({0x15}));
        QVERIFY(WaitFor([&] { return MemoHas(c, "** MST.SYNC **"); }));
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer3"));
        // 500 ms later the partner is notified through the link (after any probes sent meanwhile).
        QVERIFY(WaitFor([&] { return MemoHas(c, "** NOTIFY PARTNER **"); }));
        QVERIFY(WaitFor([] { return zavcom::ZavCom->State == zavcom::lsWaitSohAck; }));
        std::string probes = Far(1);
        probes += FarRest();
        QCOMPARE(probes, std::string(probes.size(), '\x01'));
        line->Write(Bytes({0x06}));
        const std::string frame = Far(5);
        QVERIFY2(frame == Bytes({0x02, 0x03, 0x0C, 0x05, 0x13}),
                 QByteArray(frame.data(), int(frame.size())).toHex().constData());
        line->Write(Bytes({0x06}));
        QVERIFY(WaitFor([&] { return MemoHas(c, "NOTIFIED/CONNECTED"); }));
        QVERIFY(world.Logged("SYNCHRONISIERT"));
        QCOMPARE(LinkColor, clGreen);
        QCOMPARE(c.link_led->Color(), clGreen);
        QVERIFY(c.LinkUp);
        // The name request follows at once, expecting the partner header.
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderPartner);
        AnswerNameRequest("Z-A 7");
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "ZA7"; }));
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderDefault);
        // No carrier on a plain line: the carrier watch undoes the connection display at its first tick.
        QCOMPARE(c.Timer1.HandlerName(), std::string("Timer1Timer4"));
        QVERIFY(WaitFor([&] { return !c.Timer1.Enabled(); }));
        QCOMPARE(LinkColor, clRed);
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));
    }

    // A controller past synchronisation answers each probe with a lone ACK: the answers use up the
    // retries and the synchronisation fails instead of probing for ever. "PartnerName" by hand then
    // expects the partner header and shows the name; a request given up with "NC/RESET" leaves the
    // default header behind, so that later answers are recognised again.
    void synchronisationEndsAndTheNameIsAskedByHand() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        SyncRetries = 6;
        c.SyncButton->click();
        int probes = 0;
        QVERIFY(WaitFor([&] {
            for (const char b : line->Read(64, 0))
                if (b == 0x01) {
                    ++probes;
                    line->Write(Bytes({0x06}));
                }
            return Text(c.Nachricht) == "MST.SYNC FAILED";
        }));
        QVERIFY2(probes <= 6, std::to_string(probes).c_str());
        line->Write(Bytes({0x06, 0x06, 0x06})); // late answers send nothing more
        QCOMPARE(FarRest(), std::string());
        QVERIFY(!c.Timer1.Enabled());

        c.NotifyButton->click();
        AnswerNameRequest("Q-9 1");
        QVERIFY(WaitFor([&] { return Text(c.Nachricht) == "Q91"; }));
        QCOMPARE(Far(1), Bytes({0x06}));
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderDefault);

        c.NotifyButton->click(); // unanswered, then given up
        QCOMPARE(Far(1), Bytes({0x01}));
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderPartner);
        c.BitBtn10->click();
        QCOMPARE(zavcom::RxHeader, zavcom::HeaderDefault);
    }

    void closeQueryAndShutDown() {
        TMyComPort& c = *console;
        c.show();
        QVERIFY(!c.FormCloseQuery()); // never closed: refused, but hidden
        QVERIFY(c.isHidden());
        QVERIFY(c.OpenPort(Com));
        QVERIFY(c.ClosePort());
        QVERIFY(c.FormCloseQuery());

        QVERIFY(c.OpenPort(Com));
        Reports.ReportFlags = 1u << 3;
        c.ShutDown(7);
        Reports.ReportFlags = 0;
        QVERIFY(!c.SxComPort1.Open());
        QVERIFY(!ConsoleAlive);
        const std::vector<std::string> expected{"port> halt", "comport.close", "myport: closing",
                                                "myport: closed", "comport.closed"};
        QCOMPARE(world.MainLog, expected); // no modem hang-up without INIT or TEST
        SetLinkState(true);                // after shut-down the indicators keep their colour
        QCOMPARE(c.link_led->Color(), clRed);
    }

    // A port that cannot be opened says why, in the memo and the message line.
    void openFailuresSayWhy() {
        TMyComPort& c = *console;
        // Missing device.
        plat::SetComDevice(42, "/nonexistent/ttyQ9");
        QVERIFY(!c.OpenPort(42));
        QCOMPARE(CountMemo(c, R"(\d+ > myport: open)"), 1);
        QCOMPARE(Text(c.Nachricht),
                 std::string("COM42 nicht vorhanden: das Ger\xE4t (/nonexistent/ttyQ9) gibt es nicht"));
        QCOMPARE(c.MemoLines().back(), Text(c.Nachricht));
        QCOMPARE(c.ComOpenPanel->Color(), clRed);

        // A device another program holds (here: this test, through a lock of its own).
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const std::string slave = ptsname(master);
        const int holder = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(holder >= 0);
        QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        plat::SetComDevice(43, slave);
        QVERIFY(!c.OpenPort(43));
        const std::string held = Text(c.Nachricht);
        QVERIFY2(held.rfind("COM43 (" + slave + ") wird von einem anderen Programm benutzt", 0) == 0,
                 held.c_str());
        QVERIFY2(held.find("PID " + std::to_string(getpid())) != std::string::npos, held.c_str());
        ::close(holder);

        // No permission: the device is closed to us (root drops its rights for the open).
        QCOMPARE(::chmod(slave.c_str(), 0), 0);
        const bool root = geteuid() == 0;
        if (root) QCOMPARE(seteuid(65534), 0);
        const bool opened = c.OpenPort(43);
        if (root) QCOMPARE(seteuid(0), 0);
        QVERIFY(!opened);
        const std::string denied = Text(c.Nachricht);
        QVERIFY2(denied.rfind("Keine Berechtigung f\xFCr COM43 (" + slave + ")", 0) == 0, denied.c_str());
        QVERIFY(denied.find("dialout") != std::string::npos);
        ::close(master);

        // Once it can be opened, it opens.
        QVERIFY(c.OpenPort(Com));
        QCOMPARE(c.ComOpenPanel->Color(), clGreen);
    }

    // The device goes away under an open port: the console says so at once, undoes the connection
    // display and opens it again; a re-open that fails does not leave the port shown open.
    void lostDeviceIsShownAndCanBeOpenedAgain() {
        TMyComPort& c = *console;
        QVERIFY(c.OpenPort(Com));
        QVERIFY(WaitFor([&] { return c.SxStatusLight4->Lit(); }));
        c.ConnectLed->SetColor(clLime);
        c.SetDataMode(true);
        QCOMPARE(Far(5), std::string("AT01\r"));
        line->Unplug();
        QVERIFY(WaitFor([&] { return c.GroupBox1->title() == QStringLiteral("PORT CLOSED"); }));
        const std::string lost = "COM41 (sim:console-line-" + std::to_string(lineNumber) +
                                 "): Ger\xE4t nicht mehr erreichbar, Port geschlossen";
        QCOMPARE(Text(c.Nachricht), lost);
        QVERIFY(MemoHas(c, lost));
        QCOMPARE(c.ComOpenPanel->Color(), clRed);
        QVERIFY(!c.SxStatusLight4->Lit());
        QVERIFY(!c.DataMode());
        QCOMPARE(c.ConnectLed->Color(), clMaroon);
        QCOMPARE(Text(c.ConnectLabel), std::string("NC"));

        line->Plug();
        QVERIFY(c.OpenPort(Com));
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT OPEN"));
        QVERIFY(c.SendText("AT\r"));
        QCOMPARE(Far(3), std::string("AT\r"));

        // Pulled again, and opened again before the loss has been seen: the open fails.
        line->Unplug();
        QVERIFY(!c.OpenPort(Com));
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT CLOSED"));
        QCOMPARE(c.ComOpenPanel->Color(), clRed);

        // "automatisch wieder \xF6ffnen": the console waits for the device and opens it again when it is back,
        // saying so once each; its tries in between write nothing.
        line->Plug();
        QVERIFY(c.OpenPort(Com));
        c.ReconnectBox->setChecked(true);
        line->Unplug();
        QVERIFY(WaitFor([&] { return c.GroupBox1->title() == QStringLiteral("PORT CLOSED"); }));
        QVERIFY(MemoHas(c, "COM41: warte auf das Ger\xE4t, es wird automatisch wieder ge\xF6"
                           "ffnet (CLOSE bricht ab)"));
        const size_t waiting = c.MemoLines().size();
        line->Plug();
        QVERIFY(WaitFor([&] { return c.SxComPort1.Open(); }));
        QCOMPARE(c.GroupBox1->title(), QStringLiteral("PORT OPEN"));
        QCOMPARE(Text(c.Nachricht), std::string("COM41: Ger\xE4t wieder da, Port wieder ge\xF6"
                                                "ffnet"));
        QCOMPARE(c.MemoLines().size(), waiting + 2); // "myport: open" and the notice
        QVERIFY(c.SendText("AT\r"));
        QCOMPARE(Far(3), std::string("AT\r"));
    }

    // The texts for failures the serial layer reports in other ways.
    void openFailureTexts() {
        const sx::EInOutError io(13, "Permission denied");
        QVERIFY(
            OpenFailureText(2, "/dev/ttyS1", &io).rfind("Keine Berechtigung f\xFCr COM2 (/dev/ttyS1)", 0) ==
            0);
        const sx::ESxException gone(sx::ecBadId, "gone");
        QCOMPARE(OpenFailureText(1, "/dev/ttyS0", &gone),
                 std::string("COM1 nicht vorhanden: das Ger\xE4t (/dev/ttyS0) gibt es nicht"));
        // A port on a terminal server: not a missing device but a server out of reach, with the reason.
        const sx::EBadId refused(sx::ecBadId, "server 10.0.0.9:2217: Connection refused");
        QCOMPARE(OpenFailureText(4, "rfc2217://10.0.0.9:2217", &refused),
                 std::string("COM4 (rfc2217://10.0.0.9:2217): keine Verbindung zum Server (server 10.0.0.9:2217: "
                             "Connection refused); Adresse und Port pr\xFC"
                             "fen und ob der Server l\xE4uft"));
        // The server took the call and closed it (its device would not open): no English table text.
        const sx::EBadId closed(sx::ecBadId);
        QCOMPARE(OpenFailureText(4, "rfc2217://127.0.0.1:3333", &closed),
                 std::string("COM4 (rfc2217://127.0.0.1:3333): keine Verbindung zum Server; Adresse und Port pr\xFC"
                             "fen und ob der Server l\xE4uft"));
        const sx::ESxException busy(sx::ecAlreadyOpen, "busy");
        QCOMPARE(OpenFailureText(1, "simmodem", &busy),
                 std::string("COM1 (simmodem) wird von einem anderen Programm benutzt"));
        const std::runtime_error other("kaputt");
        QCOMPARE(OpenFailureText(3, "/dev/x", &other), std::string("COM3 (/dev/x) kann nicht ge\xF6"
                                                                   "ffnet werden: kaputt"));
        QCOMPARE(OpenFailureText(3, "", nullptr), std::string("COM3 kann nicht ge\xF6"
                                                              "ffnet werden: unbekannter Fehler"));
    }

private:
    World world;
    std::unique_ptr<TMyComPort> console;
    std::shared_ptr<sx::TSxSimLine> line;
    int lineNumber = 0;
};

QTEST_MAIN(ConsoleLineTest)
#include "ConsoleLineTest.moc"

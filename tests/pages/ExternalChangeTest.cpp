// Every file the program writes, changed by another program while it is open here: the tool INI file on
// a tab switch or a tool change, the modem types, the phone book, the report page's write and the text
// view's save. Nothing edited here: the other program's version is taken. Both changed: the user is asked
// (overwrite / load from disk / cancel) and nothing is decided silently. A write-back that fails keeps the
// edits and refuses the switch. Messages about files reach the status bar and, once per file, a box.

#include "app/main.h"
#include "config/ed_ini.h"
#include "pages/Dialogs.h"
#include "pages/FileQuestions.h"
#include "pages/Unit2.h"
#include "pages/Unit3.h"
#include "pages/Unit49.h"
#include "pages/Unit7.h"
#include "pages/unit80.h"
#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/qt/QtText.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <filesystem>
#include <sys/stat.h>

using plat::FromQ;

class ExternalChangeTest : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;
    std::string SavedCwd;

    static std::string Disk(const std::string& rel) { return plat::ReadFileBytes("V:\\" + rel); }
    // The same with LF line ends only, for finding lines whatever the file's line ends are.
    static std::string Lines(const std::string& rel) {
        std::string text = Disk(rel);
        std::erase(text, '\r');
        return text;
    }
    // Another program writes the file (a new inode, a new time).
    static void Foreign(const std::string& rel, const std::string& bytes) {
        std::filesystem::remove(plat::ToHostPath("V:\\" + rel));
        plat::AppendToFile("V:\\" + rel, bytes);
    }
    void Show(QWidget* tab) {
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_main);
        MainForm->PageControl1->setCurrentWidget(tab);
    }
    // The questions asked since the last call, by their first button's caption.
    static std::vector<std::string> Asked() {
        std::vector<std::string> asked;
        for (const dlg::Shown& s : dlg::History()) asked.push_back(s.labels.empty() ? "box" : s.labels.front());
        dlg::ClearHistory();
        return asked;
    }
    static std::vector<std::string> Conflict(int n = 1) { return std::vector<std::string>(n, "\xDC" "berschreiben"); }

private slots:
    void initTestCase() {
        std::filesystem::copy(INI4ZAV_EXAMPLES, Dir.path().toStdString(), std::filesystem::copy_options::recursive);
        plat::SetDriveMapping('V', Dir.path().toStdString());
        SavedCwd = plat::GetCurrentDir();
        plat::SetCurrentDir(plat::FromHostPath(Dir.path().toStdString()));
        OpenConfiguration("", "V:\\ini4zav.ini", false);
        QVERIFY(ConfigOpen());
        MainForm = new TMainForm;
        Form80 = new TForm80;
        Form2 = new TForm2;
        Form3 = new TForm3;
        Form7 = new TForm7;
        TelefonBuch = new TTelefonBuch;
        filedlg::Install([](const QString& text) { MainForm->StatusBar1->showMessage(text); });
        MainForm->show();
        MainForm->SpeedButton3->click(); // "Mon4VAm"
        dlg::ClearHistory();
    }
    void cleanupTestCase() {
        for (QWidget* w : std::initializer_list<QWidget*>{Form2, Form3, Form7, TelefonBuch, Form80}) delete w;
        Form2 = nullptr;
        Form3 = nullptr;
        Form7 = nullptr;
        TelefonBuch = nullptr;
        Form80 = nullptr;
        delete MainForm;
        MainForm = nullptr;
        DiscardToolIni();
        filedlg::Uninstall();
        plat::SetCurrentDir(SavedCwd);
        plat::ClearDriveMappings();
    }

    // The tool INI file on tab switches and tool changes.
    void toolIniOnTabSwitches() {
        const std::string ini = "mon4vam\\mon4vam.ini";
        Show(MainForm->tab_monitor);
        // Nothing edited here: the monitor tool's own change survives the switch and the page shows it.
        std::string theirs = Disk(ini);
        theirs.replace(theirs.find("dial=ATDP"), 9, "dial=ATDX");
        Foreign(ini, theirs);
        Show(MainForm->tab_modem);
        QCOMPARE(Disk(ini), theirs);
        QCOMPARE(FromQ(Form2->dial->text()), std::string("ATDX"));
        QVERIFY(Asked().empty());

        // Both changed, "cancel": the switch is refused, the file stays theirs, the edit stays here and the
        // page of the new tab shows the file still open, edits and all.
        Form2->dial->setText("ATDMEINS");
        Form2->BitBtn1->click();
        theirs.replace(theirs.find("dial=ATDX"), 9, "dial=ATDY");
        Foreign(ini, theirs);
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        Show(MainForm->tab_monitor);
        QCOMPARE(Asked(), Conflict());
        QCOMPARE(Disk(ini), theirs);
        QCOMPARE(ini_DialStr(), std::string("ATDMEINS"));
        QVERIFY(Form3->isVisible());

        // A tool change is refused the same way: the monitor stays the open tool.
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        MainForm->SpeedButton2->click(); // "Ed4VAm"
        QCOMPARE(Asked(), Conflict());
        QCOMPARE(MainForm->CurrentToolIni, std::string("mon4vam\\mon4vam.ini"));
        QCOMPARE(IniFileName(), std::string("V:\\mon4vam\\mon4vam.ini"));
        QVERIFY(MainForm->PageControl1->isTabVisible(MainForm->PageControl1->indexOf(MainForm->tab_modem)));

        // "Load from disk": their version, the edit dropped.
        dlg::SetNextAnswer(filedlg::AnswerTakeFromDisk);
        Show(MainForm->tab_modem);
        QCOMPARE(Asked(), Conflict());
        QCOMPARE(Disk(ini), theirs);
        QCOMPARE(FromQ(Form2->dial->text()), std::string("ATDY"));

        // "Overwrite": the edit is written over their change.
        Form2->dial->setText("ATDUNSER");
        Form2->BitBtn1->click();
        Foreign(ini, theirs + "; noch eine Zeile\n");
        dlg::SetNextAnswer(filedlg::AnswerOverwrite);
        Show(MainForm->tab_monitor);
        QCOMPARE(Asked(), Conflict());
        QVERIFY(Lines(ini).find("Dial=ATDUNSER\n") != std::string::npos);
    }

    // A tool INI file that cannot be written: the switch is refused and says so; the edits stay until
    // the user tries again successfully or gives them up.
    void failedWriteBackKeepsTheEdits() {
        const std::string ini = "mon4vam\\mon4vam.ini";
        const std::string host = plat::ToHostPath("V:\\" + ini);
        Show(MainForm->tab_modem);
        Form2->dial->setText("ATDGESPERRT");
        Form2->BitBtn1->click();
        ::chmod(host.c_str(), 0444);
        const std::string before = Disk(ini);
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        Show(MainForm->tab_monitor);
        QCOMPARE(dlg::History().size(), std::size_t(1));
        const dlg::Shown refused = dlg::History().front();
        QVERIFY(refused.text.find("\"V:\\mon4vam\\mon4vam.ini\"") != std::string::npos);
        QVERIFY(refused.text.find("schreibgesch\xFCtzt") != std::string::npos);
        QVERIFY(refused.text.find("der Wechsel findet nicht statt") != std::string::npos);
        QCOMPARE(refused.labels.front(), std::string("Wiederholen"));
        dlg::ClearHistory();
        QCOMPARE(Disk(ini), before);
        QCOMPARE(ini_DialStr(), std::string("ATDGESPERRT"));

        // "Retry" while it is still read-only asks again; once it is writable the next switch writes.
        dlg::SetNextAnswer(filedlg::AnswerRetry);
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        Show(MainForm->tab_modem);
        QCOMPARE(Asked(), (std::vector<std::string>{"Wiederholen", "Wiederholen"}));
        QCOMPARE(Disk(ini), before);
        QCOMPARE(FromQ(Form2->dial->text()), std::string("ATDGESPERRT"));
        ::chmod(host.c_str(), 0644);
        Show(MainForm->tab_monitor);
        QVERIFY(Asked().empty());
        QVERIFY(Lines(ini).find("Dial=ATDGESPERRT\n") != std::string::npos);

        // Giving the edits up is the user's own choice.
        Show(MainForm->tab_modem);
        Form2->dial->setText("ATDWEG");
        Form2->BitBtn1->click();
        ::chmod(host.c_str(), 0444);
        dlg::SetNextAnswer(filedlg::AnswerDiscard);
        Show(MainForm->tab_monitor);
        ::chmod(host.c_str(), 0644);
        QCOMPARE(Asked(), std::vector<std::string>{"Wiederholen"});
        QVERIFY(Lines(ini).find("Dial=ATDGESPERRT\n") != std::string::npos);
        QCOMPARE(ini_DialStr(), std::string("ATDGESPERRT"));
    }

    // The modem types, the phone book, the report page and the text view follow the same rule.
    void otherStoresFollowTheSameRule() {
        // Modem types: never edited by the page, so a change on disk always wins at program end.
        Show(MainForm->tab_modem);
        const std::string modems = "mon4vam\\modems.ini";
        const std::string theirModems = Disk(modems) + "[Neues Modem]\r\ni1=ATZ\r\n";
        Foreign(modems, theirModems);
        Form2->CloseModemStore();
        QCOMPARE(Disk(modems), theirModems);
        MainForm->SpeedButton3->click(); // the path again

        // Phone book: an unedited grid takes their file; an edited one asks.
        const std::string book = "mon4vam\\data\\telefon.txt";
        Show(MainForm->tab_telefon);
        Foreign(book, "Neue Anlage (0123)\r\n");
        TelefonBuch->SichernButton->click();
        QCOMPARE(Disk(book), std::string("Neue Anlage (0123)\r\n"));
        QCOMPARE(FromQ(TelefonBuch->StringGrid1->item(1, 0)->text()), std::string("Neue Anlage "));
        TelefonBuch->StringGrid1->item(1, 1)->setText("0456");
        Foreign(book, "Andere Anlage (0789)\r\n");
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        QVERIFY_THROWS_EXCEPTION(plat::WriteCancelled, TelefonBuch->SaveSettings());
        QCOMPARE(Disk(book), std::string("Andere Anlage (0789)\r\n"));
        QCOMPARE(FromQ(TelefonBuch->StringGrid1->item(1, 1)->text()), std::string("0456"));
        dlg::SetNextAnswer(filedlg::AnswerOverwrite);
        TelefonBuch->SaveSettings();
        QCOMPARE(Disk(book), std::string("Neue Anlage (0456)\r\n"));
        QCOMPARE(Asked(), Conflict(2));

        // Report page: its "Sichern" writes at once, through the same rule.
        const std::string ini = "mon4vam\\mon4vam.ini";
        Show(MainForm->tab_report);
        Foreign(ini, Disk(ini) + "[fremd]\nx=1\n");
        Form7->dxfCheckBox36->click();
        dlg::SetNextAnswer(filedlg::AnswerCancel);
        QVERIFY_THROWS_EXCEPTION(plat::WriteCancelled, Form7->BitBtn1Click());
        QCOMPARE(Asked(), Conflict());
        QVERIFY(Disk(ini).find("[fremd]") != std::string::npos);
        dlg::SetNextAnswer(filedlg::AnswerTakeFromDisk);
        Show(MainForm->tab_monitor); // the same question on the switch: their file is taken
        QCOMPARE(Asked(), Conflict());
        QVERIFY(Lines(ini).find("[fremd]\nx=1\n") != std::string::npos);

        // Text view: "Save" of an unedited text takes their file; an edited one asks.
        MainForm->PageControl1->setCurrentWidget(MainForm->tab_main);
        const std::string note = "mon4vam\\data\\anruf.bat";
        MainForm->Panel16Caption->setText(plat::ToQ("V:\\" + note));
        MainForm->ShowTextFile("V:\\" + note, Disk(note));
        Foreign(note, "echo fremd\r\n");
        MainForm->SpeedButton6Click();
        QCOMPARE(MainForm->Memo1->toPlainText(), QString("echo fremd"));
        MainForm->Memo1->setPlainText("echo hier");
        Foreign(note, "echo wieder fremd\r\n");
        dlg::SetNextAnswer(filedlg::AnswerOverwrite);
        MainForm->SpeedButton6Click();
        QCOMPARE(Asked(), Conflict());
        QCOMPARE(Disk(note), std::string("echo hier\r\n"));
    }

    // A load problem is told in the status bar every time and in a box once per file.
    void messagesAboutFiles() {
        filedlg::ForgetShownFiles();
        dlg::ClearHistory();
        const std::string modems = "mon4vam\\modems.ini";
        Foreign(modems, "\xEF\xBB\xBF" + Disk(modems));
        MainForm->SpeedButton3->click();
        Show(MainForm->tab_modem);
        Show(MainForm->tab_monitor);
        Show(MainForm->tab_modem);
        QVERIFY(FromQ(MainForm->StatusBar1->currentMessage()).find("V:\\mon4vam\\modems.ini") != std::string::npos);
        QVERIFY(FromQ(MainForm->StatusBar1->currentMessage()).find("BOM") != std::string::npos);
        QCOMPARE(Asked(), std::vector<std::string>{"box"});
        QVERIFY(Form2->ModemListBox->count() > 0); // read as meant, BOM and all
    }
};

QTEST_MAIN(ExternalChangeTest)
#include "ExternalChangeTest.moc"

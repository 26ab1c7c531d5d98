// The report page: the report string through its check boxes, "Sichern" straight to disk, the log viewer.

#include "PageFixture.h"

#include "config/IniStore.h"
#include "config/Reports.h"
#include "pages/Unit7.h"
#include "platform/qt/QtText.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>

using plat::FromQ;

namespace {
const char* const Language = "[unit75]\r\n10=Trace Konfiguration\r\n27=Letzter Schalter\r\n";
}

class ReportPageTest : public QObject {
    Q_OBJECT
    PageFixture* F = nullptr;
    TForm7* Page = nullptr;

    void Load(const std::string& logfiles) {
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni(logfiles));
        Page->LoadSettings();
    }
    QCheckBox* Box(int tag) const { return Page->ReportBoxes.at(static_cast<std::size_t>(tag - 10)); }
    std::string Label2() const { return FromQ(Page->report_Label2->text()); }
    std::string Checked() const {
        std::string s;
        for (QCheckBox* b : Page->ReportBoxes) s += b->isChecked() ? '1' : '0';
        return s;
    }

private slots:
    void init() {
        F = new PageFixture;
        F->Write("system\\deutsch.lng", Language);
        Page = new TForm7;
    }
    void cleanup() {
        delete Page;
        delete F;
    }

    void storedStringIsNormalisedAndShown_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("boxes");
        QTest::newRow("single 1") << QString("1") << QString("1" + QString(20, '0')) << QString("1" + QString(17, '0'));
        QTest::newRow("?") << QString("?") << QString(21, '0') << QString(18, '0');
        QTest::newRow("missing") << QString() << QString(21, '0') << QString(18, '0');
        QTest::newRow("positions 19-21 have no box")
            << QString("000000000000000001111") << QString("000000000000000001111") << QString(17, '0') + "1";
        QTest::newRow("40 characters") << QString("0101" + QString(36, '1')) << QString("0101" + QString(36, '1'))
                                       << QString("0101" + QString(14, '1'));
    }
    void storedStringIsNormalisedAndShown() {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QFETCH(QString, boxes);
        for (QCheckBox* b : Page->ReportBoxes) b->setChecked(true); // a load must clear them
        Load(stored.isNull() ? "[Logfiles]\r\n" : "[logfiles]\r\nReports=" + stored.toStdString() + "\r\n");
        QCOMPARE(Page->report_Label1->text(), shown);
        QCOMPARE(Page->report_Label2->text(), shown);
        QCOMPARE(QString::fromStdString(Checked()), boxes);
    }

    void captionsComeFromTheLanguageFileOrAreTheTag() {
        Load("");
        QCOMPARE(Box(10)->text(), QStringLiteral("Trace Konfiguration"));
        QCOMPARE(Box(27)->text(), QStringLiteral("Letzter Schalter"));
        QCOMPARE(Box(15)->text(), QStringLiteral("15"));
    }

    void longStringSurvivesClicksAndSichern() {
        const std::string stored = "0000000000000000000101101"; // 25 characters
        Load("[Logfiles]\r\nREPORTS=" + stored + "\r\nmainlogfile=x\r\n");
        Box(27)->click();
        QCOMPARE(Label2(), std::string("0000000000000000010101101")); // character 18
        Box(27)->click();
        QCOMPARE(Label2(), stored);
        Box(10)->click();
        Box(12)->click();
        Page->BitBtn1->click();

        // On disk at once, under the key "reports", all 25 characters; the other keys stay.
        const std::string expected = "1010000000000000000101101";
        const std::string disk = F->Read("mon4vam\\mon4vam.ini");
        QVERIFY2(disk.find("[Logfiles]\r\nreports=" + expected + "\r\nmainlogfile=x\r\n") != std::string::npos,
                 disk.c_str());
        // The reload after "Sichern" shows the saved string on both labels.
        QCOMPARE(FromQ(Page->report_Label1->text()), expected);
        QCOMPARE(Label2(), expected);
        QVERIFY(Box(10)->isChecked() && Box(12)->isChecked() && !Box(11)->isChecked());
    }

    void sichernWithoutOpenConfigurationDoesNothing() {
        Load("[Logfiles]\r\nreports=1\r\n");
        Box(11)->click();
        ReleaseToolIni();
        const std::string before = F->Read("mon4vam\\mon4vam.ini");
        Page->BitBtn1->click();
        QCOMPARE(Label2(), "11" + std::string(19, '0')); // no reload either
        QCOMPARE(F->Read("mon4vam\\mon4vam.ini"), before);
    }

    void logEditsShowTheConfiguredPaths() {
        Load("[logfiles]\r\nmainlogfile=$(base)\\log\\mon.log\r\nlogonfile=$(BASE)\\log\\logon.log\r\n");
        QCOMPARE(FromQ(Page->report_logfile_edit->text()), std::string("V:\\log\\mon.log"));
        QCOMPARE(FromQ(Page->connect_logfile_edit->text()), std::string("V:\\log\\logon.log"));
    }

    void viewerOpensExistingFilesAndNotesMissingOnes() {
        Load("[logfiles]\r\nmainlogfile=$(BASE)\\log\\mon.log\r\nlogonfile=$(BASE)\\log\\fehlt.log\r\n");
        // Missing while the check boxes are shown: the viewer comes forward with the line, so the user sees it.
        Page->connect_logfile_button->click();
        QVERIFY(!Page->Panel1->isHidden());
        QVERIFY(Page->reportcheckbox_group->isHidden());
        QCOMPARE(Page->Memo1->toPlainText(), QStringLiteral("\"V:\\log\\fehlt.log\" nicht gefunden"));
        Page->ReportButton->click();

        F->Write("log\\mon.log", "erste\r\nzweite\r\n");
        Page->report_logfile_button->click();
        QVERIFY(!Page->Panel1->isHidden());
        QVERIFY(Page->reportcheckbox_group->isHidden());
        QCOMPARE(Page->Memo1->toPlainText(), QStringLiteral("erste\nzweite")); // replaced

        // Missing while the viewer is open: appended below the shown text, scrolled into view however long
        // the log is.
        std::string longLog;
        for (int i = 0; i < 500; ++i) longLog += "zeile " + std::to_string(i) + "\r\n";
        F->Write("log\\mon.log", longLog);
        Page->resize(600, 400);
        Page->show();
        Page->report_logfile_button->click();
        Page->connect_logfile_button->click();
        QVERIFY(Page->Memo1->toPlainText().endsWith(QStringLiteral("\"V:\\log\\fehlt.log\" nicht gefunden")));
        QVERIFY(Page->Memo1->verticalScrollBar()->maximum() > 0);
        QTextCursor end(Page->Memo1->document());
        end.movePosition(QTextCursor::End);
        QVERIFY(Page->Memo1->viewport()->rect().contains(Page->Memo1->cursorRect(end))); // in full view
        F->Write("log\\mon.log", "erste\r\nzweite\r\n");
        Page->report_logfile_button->click();
        Page->connect_logfile_button->click();
        QCOMPARE(Page->Memo1->toPlainText(), QStringLiteral("erste\nzweite\n\"V:\\log\\fehlt.log\" nicht gefunden"));
        QVERIFY(!Page->Panel1->isHidden());

        Page->ReportButton->click();
        QVERIFY(Page->Panel1->isHidden());
        QVERIFY(!Page->reportcheckbox_group->isHidden());

        // A load always returns to the check boxes.
        Page->report_logfile_button->click();
        Page->LoadSettings();
        QVERIFY(Page->Panel1->isHidden());
    }
};

QTEST_MAIN(ReportPageTest)
#include "ReportPageTest.moc"

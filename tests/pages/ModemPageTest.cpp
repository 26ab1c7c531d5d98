// The modem types page against a real tool INI file and a real modem-types file.

#include "PageFixture.h"

#include "config/IniStore.h"
#include "pages/Unit2.h"
#include "platform/qt/QtText.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

using plat::FromQ;

namespace {

const char* const ModemTypes = "; Modem-Typen\r\n"
                               "[MODEM-TYPEN]\r\n"
                               "Elsa 56k=1\r\n"
                               "usr sportster=1\r\n"
                               "Minimal=\r\n"
                               "\r\n\r\n"
                               "[Elsa 56k]\r\n"
                               "i1=at&f\r\n"
                               "i2=atx3\r\n"
                               "i3=ats0=0\r\n"
                               "Hangup=ath\r\n"
                               "Echooff=ate0\r\n"
                               "Askmodem=ati4\r\n"
                               "[usr sportster]\r\n"
                               "i1=AT&F1\r\n"
                               "Hangup=ATH0\r\n"
                               "[time]\r\n"
                               "dial_timeout=60s\r\n";

const char* const ModemSection = "[Modem]\r\n"
                                 "Type=usr sportster\r\n"
                                 "i1=at&f\r\n"
                                 "i2=\r\n"
                                 "Dial=atdp\r\n"
                                 "Defaultdial=0661 99\r\n"
                                 "autoinit=1\r\n"
                                 "autodial=\r\n";

std::string Text(const QLineEdit* e) { return FromQ(e->text()); }

} // namespace

class ModemPageTest : public QObject {
    Q_OBJECT
    PageFixture* F = nullptr;
    TForm2* Page = nullptr;

private slots:
    void init() {
        F = new PageFixture;
        F->Write("mon4vam\\modems.ini", ModemTypes);
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni(ModemSection));
        ModemDatabasePath = PageFixture::Path("mon4vam\\modems.ini");
        Page = new TForm2;
    }
    void cleanup() {
        delete Page;
        delete F;
        ModemDatabasePath.clear();
    }

    void loadShowsToolValuesUpperCasedAndTypeAsStored() {
        Page->LoadSettings();
        QCOMPARE(Page->ModemListBox->count(), 3);
        QCOMPARE(Page->ModemListBox->item(0)->text(), QStringLiteral("Elsa 56k"));
        QCOMPARE(Page->ModemListBox->item(1)->text(), QStringLiteral("usr sportster"));
        QCOMPARE(Text(Page->ModemType), std::string("usr sportster"));
        QCOMPARE(Text(Page->ini1), std::string("AT&F"));
        QCOMPARE(Text(Page->dial), std::string("ATDP"));
        QCOMPARE(Text(Page->dial_timeout), std::string("60S"));
        QCOMPARE(Text(Page->hangup), std::string());
        QVERIFY(Page->AutoInit->isChecked());
        QVERIFY(!Page->AutoDial->isChecked());

        // "Sichern" writes the shown (upper-cased) texts back, the type unchanged.
        Page->BitBtn1->click();
        TIniStore& ini = ToolIni();
        QCOMPARE(ini.ReadString("modem", "I1", "-"), std::string("AT&F"));
        QCOMPARE(ini.ReadString("Modem", "Dial", "-"), std::string("ATDP"));
        QCOMPARE(ini.ReadString("Modem", "Type", "-"), std::string("usr sportster"));
        QCOMPARE(ini.ReadString("Modem", "autoinit", "-"), std::string("1"));
        QCOMPARE(ini.ReadString("Modem", "autodial", "-"), std::string());
        // Only the store changed; the file is written by the next switch of the open file.
        QVERIFY(F->Read("mon4vam\\mon4vam.ini").find("AT&F") == std::string::npos);
    }

    void savedKeysKeepTheirLetterCase() {
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni(""));
        Page->LoadSettings();
        Page->AutoInit->setChecked(false);
        Page->SaveSettings();
        const std::string text = ToolIni().GetText();
        for (const char* line : {"[Modem]\r\nType=\r\n", "[time]\r\ndial_timeout=60S\r\n", "i1=\r\n", "Dial=\r\n",
                                 "Hangup=\r\n", "Echooff=\r\n", "Askmodem=\r\n", "Defaultdial=\r\n",
                                 "autodial=\r\n", "autoinit=0\r\n"})
            QVERIFY2(text.find(line) != std::string::npos, line);
    }

    void dialTimeoutIsReadFromTheModemFileButWrittenToTheToolFile() {
        Page->LoadSettings();
        Page->dial_timeout->setText(QStringLiteral("99"));
        Page->SaveSettings();
        QCOMPARE(ToolIni().ReadString("time", "dial_timeout", "-"), std::string("99"));
        Page->LoadSettings();
        QCOMPARE(Text(Page->dial_timeout), std::string("60S"));

        // An empty modem-types file, then none at all: empty list and the default.
        F->Write("mon4vam\\modems.ini", "");
        Page->LoadSettings();
        QCOMPARE(Page->ModemListBox->count(), 0);
        QCOMPARE(Text(Page->dial_timeout), std::string("40"));
        ModemDatabasePath.clear();
        Page->LoadSettings();
        QCOMPARE(Page->ModemListBox->count(), 0);
        QCOMPARE(Text(Page->dial_timeout), std::string("40"));
        QCOMPARE(Text(Page->ini1), std::string("AT&F")); // the tool's own values still load
    }

    void choosingATypeCopiesItsStringsWithDefaults() {
        Page->LoadSettings();
        Page->dial->setText(QStringLiteral("ATDT"));
        Page->ModemListBox->setCurrentRow(1);
        Page->ModemListBoxClick();
        QCOMPARE(Text(Page->ModemType), std::string("usr sportster"));
        QCOMPARE(Text(Page->ini1), std::string("AT&F1"));
        QCOMPARE(Text(Page->ini2), std::string("??"));
        QCOMPARE(Text(Page->ini3), std::string("??"));
        QCOMPARE(Text(Page->hangup), std::string("ATH0"));
        QCOMPARE(Text(Page->echooff), std::string());
        QCOMPARE(Text(Page->dial), std::string("ATDT"));               // left alone
        QCOMPARE(Text(Page->defaultdial), std::string("0661 99"));     // left alone
        Page->SaveSettings();
        QCOMPARE(ToolIni().ReadString("Modem", "i2", "-"), std::string("??"));

        Page->ModemListBox->setCurrentRow(0);
        Page->ModemListBoxClick();
        QCOMPARE(Text(Page->ini3), std::string("ATS0=0"));
        QCOMPARE(Text(Page->askmodem), std::string("ATI4"));

        // Moving down with the keys chooses the next type; it has no section of its own: all three "??".
        QTest::keyClick(Page->ModemListBox, Qt::Key_Down);
        QTest::keyClick(Page->ModemListBox, Qt::Key_Down);
        QCOMPARE(Text(Page->ModemType), std::string("Minimal"));
        QCOMPARE(Text(Page->ini1), std::string("??"));
        QCOMPARE(Text(Page->hangup), std::string());
    }

    void clickWithoutSelectionClearsOnlyTheInitStrings() {
        Page->LoadSettings();
        Page->ModemListBox->setCurrentRow(-1);
        Page->ModemListBox->clearSelection();
        Page->ModemListBoxClick();
        QCOMPARE(Text(Page->ini1), std::string());
        QCOMPARE(Text(Page->ini2), std::string());
        QCOMPARE(Text(Page->ini3), std::string());
        QCOMPARE(Text(Page->ModemType), std::string("usr sportster"));
        QCOMPARE(Text(Page->dial), std::string("ATDP"));
    }

    void autoDialFollowsTheNumberButIsNeverWritten() {
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni("[modem]\r\nAUTODIAL=0815\r\nautoinit=abc\r\n"));
        Page->LoadSettings();
        QVERIFY(Page->AutoDial->isChecked());
        QVERIFY(!Page->AutoInit->isChecked()); // not a number: the default
        QCOMPARE(Text(Page->AutoDialNumber), std::string("0815"));
        Page->AutoDial->setChecked(false);
        Page->SaveSettings();
        QCOMPARE(ToolIni().ReadString("Modem", "autodial", "-"), std::string("0815"));
    }

    void modemFileIsLeftAsItIsAtTheEndAndNeverWrittenToAnEmptyPath() {
        const std::string before = F->Read("mon4vam\\modems.ini");
        Page->LoadSettings();
        Page->CloseModemStore();
        QVERIFY(ModemDatabasePath.empty());
        QVERIFY(Page->ModemStore() == nullptr);
        QCOMPARE(F->Read("mon4vam\\modems.ini"), before); // never edited here: not rewritten

        // A load with no path: the empty store is dropped at the end without a file appearing anywhere.
        ModemDatabasePath.clear();
        Page->LoadSettings();
        Page->CloseModemStore();
        QVERIFY(QDir(F->Dir.path()).entryList(QDir::Files).isEmpty());
        Page->CloseModemStore(); // twice is harmless
    }

    void endOfProgramKeepsAModemFileChangedSinceTheLoad() {
        Page->LoadSettings();
        const std::string edited = "[MODEM-TYPEN]\r\nZyxel=\r\n\r\n\r\n[Zyxel]\r\ni1=AT&F\r\n";
        F->Write("mon4vam\\modems.ini", edited);
        Page->CloseModemStore();
        QCOMPARE(F->Read("mon4vam\\modems.ini"), std::string(edited));

        // Removed on disk after the load: it stays removed.
        ModemDatabasePath = PageFixture::Path("mon4vam\\modems.ini");
        Page->LoadSettings();
        QVERIFY(plat::DeleteFile(PageFixture::Path("mon4vam\\modems.ini")));
        Page->CloseModemStore();
        QVERIFY(!F->Exists("mon4vam\\modems.ini"));
    }

    void reloadPicksUpChangesOfTheModemFile() {
        Page->LoadSettings();
        F->Write("mon4vam\\modems.ini", "[Modem-Typen]\r\nZyxel=\r\n[TIME]\r\nDIAL_TIMEOUT=30\r\n");
        Page->LoadSettings();
        QCOMPARE(Page->ModemListBox->count(), 1);
        QCOMPARE(Page->ModemListBox->item(0)->text(), QStringLiteral("Zyxel"));
        QCOMPARE(Text(Page->dial_timeout), std::string("30"));
    }
};

QTEST_MAIN(ModemPageTest)
#include "ModemPageTest.moc"

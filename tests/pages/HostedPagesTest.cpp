// The pages as the main window hosts them, on a copy of the example tool family: tab show, the page's own
// buttons, and what reaches the disk when the next tab switch writes the configuration back.

#include "app/main.h"
#include "config/IniStore.h"
#include "config/ed_ini.h"
#include "pages/Unit2.h"
#include "pages/Unit3.h"
#include "pages/Unit49.h"
#include "pages/Unit7.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/qt/QtText.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <filesystem>

using plat::FromQ;

class HostedPagesTest : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;
    std::string SavedCwd;

    // The file's text with LF line ends (the store writes a file back with the line ends it had).
    static std::string Disk(const std::string& rel) {
        std::string text = plat::ReadFileBytes("V:\\" + rel);
        std::erase(text, '\r');
        return text;
    }
    void Show(QWidget* tab) {
        MainForm->PageControl1->setCurrentWidget(tab);
        QCOMPARE(MainForm->PageControl1->currentWidget(), tab);
    }

    // From "Sichern" on, Tab until the modem-type list has the focus.
    static void TabToModemList() {
        Form2->BitBtn1->setFocus(Qt::TabFocusReason);
        for (int i = 0; i < 20 && !Form2->ModemListBox->hasFocus(); ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(Form2->ModemListBox->hasFocus());
    }

private slots:
    void initTestCase() {
        std::filesystem::copy(INI4ZAV_EXAMPLES, Dir.path().toStdString(),
                              std::filesystem::copy_options::recursive);
        plat::SetDriveMapping('V', Dir.path().toStdString());
        SavedCwd = plat::GetCurrentDir();
        plat::SetCurrentDir(plat::FromHostPath(Dir.path().toStdString()));
        OpenConfiguration("", "V:\\ini4zav.ini", false);
        QVERIFY(ConfigOpen());
        MainForm = new TMainForm;
        Form2 = new TForm2;
        Form3 = new TForm3;
        Form7 = new TForm7;
        TelefonBuch = new TTelefonBuch;
        MainForm->show();
        MainForm->SpeedButton3->click(); // "Mon4VAm"
        QCOMPARE(ModemDatabasePath, std::string("V:\\mon4vam\\modems.ini"));
    }
    void cleanupTestCase() {
        for (QWidget* w : std::initializer_list<QWidget*>{Form2, Form3, Form7, TelefonBuch}) delete w;
        Form2 = nullptr;
        Form3 = nullptr;
        Form7 = nullptr;
        TelefonBuch = nullptr;
        delete MainForm;
        MainForm = nullptr;
        ReleaseToolIni();
        plat::SetCurrentDir(SavedCwd);
        plat::ClearDriveMappings();
    }

    void modemTypesPage() {
        Show(MainForm->tab_modem);
        QCOMPARE(Form2->parentWidget(), MainForm->Panel5);
        QVERIFY(Form2->isVisible());
        QCOMPARE(Form2->ModemListBox->count(), 7);
        QCOMPARE(FromQ(Form2->ModemType->text()), std::string("ELSA MicroLink 56k"));
        QCOMPARE(FromQ(Form2->dial_timeout->text()), std::string("45"));

        // Zyxel has no i2/i3: "??" reaches the file with the next tab switch.
        const auto found = Form2->ModemListBox->findItems("Zyxel U-1496E", Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        QTest::mouseClick(Form2->ModemListBox->viewport(), Qt::LeftButton, {},
                          Form2->ModemListBox->visualItemRect(found.front()).center());
        QCOMPARE(FromQ(Form2->ini2->text()), std::string("??"));
        Form2->dial_timeout->setText("70");
        Form2->BitBtn1->click();
        QVERIFY(Disk("mon4vam\\mon4vam.ini").find("Zyxel") == std::string::npos); // memory only so far
        Show(MainForm->tab_monitor);
        const std::string disk = Disk("mon4vam\\mon4vam.ini");
        QVERIFY(disk.find("Type=Zyxel U-1496E\n") != std::string::npos);
        QVERIFY(disk.find("i2=??\ni3=??\n") != std::string::npos);
        QVERIFY(disk.find("[time]\ndial_timeout=70\n") != std::string::npos);
        QVERIFY(disk.find("Dial=ATDP\n") != std::string::npos); // the resolver's "dial" and the page's "Dial" are one key
        QVERIFY(disk.find("\ndial=") == std::string::npos);
    }

    // Reaching the list by Tab chooses no type: "Sichern" and the next tab switch keep the init strings.
    // Space or an arrow key then chooses one.
    void modemListReachedByTabKeepsTheInitStrings() {
        Show(MainForm->tab_modem);
        const QString before[] = {Form2->ini1->text(), Form2->ini2->text(), Form2->ini3->text()};
        QVERIFY(!before[0].isEmpty());
        MainForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(MainForm));
        TabToModemList();
        QCOMPARE(Form2->ini1->text(), before[0]);
        QCOMPARE(Form2->ini3->text(), before[2]);
        Form2->BitBtn1->click();
        Show(MainForm->tab_monitor);
        const QString kept = "i1=" + before[0] + "\ni2=" + before[1] + "\ni3=" + before[2] + "\n";
        QVERIFY(Disk("mon4vam\\mon4vam.ini").find(FromQ(kept)) != std::string::npos);

        Show(MainForm->tab_modem);
        TabToModemList();
        QTest::keyClick(Form2->ModemListBox, Qt::Key_Space);
        QCOMPARE(Form2->ModemType->text(), Form2->ModemListBox->item(0)->text());
        const std::string type = FromQ(Form2->ModemType->text());
        QCOMPARE(FromQ(Form2->ini1->text()), plat::AnsiUpperCase(Form2->ModemStore()->ReadString(type, "i1", "??")));
    }

    void monitorTaskPage() {
        Show(MainForm->tab_monitor);
        QCOMPARE(Form3->parentWidget(), MainForm->Panel7);
        QVERIFY(Form3->FZ_CheckBox->isChecked() && !Form3->StartMonitor->isChecked()); // task=31
        QVERIFY(Form3->Check_telefon->isChecked() && !Form3->Check_funktionen->isChecked()); // tabsheets=153
        QCOMPARE(Form3->tickubs->value(), 40);
        QVERIFY(Form3->SysModSenden->isChecked());
    }

    void phoneBookPage() {
        Show(MainForm->tab_telefon);
        QCOMPARE(TelefonBuch->parentWidget(), MainForm->Panel9);
        QVERIFY(TelefonBuch->ListBox1->isVisible());
        QVERIFY(!TelefonBuch->EditButton->isVisible());
        QCOMPARE(TelefonBuch->ListBox1->count(), 30);
        QCOMPARE(TelefonBuch->StringGrid1->rowCount(), 31);
        QCOMPARE(FromQ(TelefonBuch->Nummer->text()), std::string("06601234567"));
        const std::string before = Disk("mon4vam\\data\\telefon.txt");
        TelefonBuch->SichernButton->click();
        QCOMPARE(Disk("mon4vam\\data\\telefon.txt"), before);
    }

    void reportPage() {
        Show(MainForm->tab_report);
        QCOMPARE(Form7->parentWidget(), MainForm->Panel4);
        QCOMPARE(FromQ(Form7->report_Label1->text()), std::string("100100000100000000000"));
        QCOMPARE(Form7->dxfCheckBox19->text(), QStringLiteral("Konfiguration protokollieren"));
        QVERIFY(Form7->dxfCheckBox19->isChecked() && Form7->dxfCheckBox28->isChecked());
        Form7->dxfCheckBox36->click();
        Form7->BitBtn1->click();
        QVERIFY(Disk("mon4vam\\mon4vam.ini").find("reports=100100000100000001000\n") != std::string::npos);
    }
};

QTEST_MAIN(HostedPagesTest)
#include "HostedPagesTest.moc"

// The monitor task page: bit sets, unbounded spin edits, the read-only "Sichern".

#include "PageFixture.h"

#include "config/IniStore.h"
#include "pages/Unit3.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <vector>

Q_DECLARE_METATYPE(std::vector<bool>)

class MonitorTaskPageTest : public QObject {
    Q_OBJECT
    PageFixture* F = nullptr;
    TForm3* Page = nullptr;

    void Load(const std::string& unit43) {
        F->Reopen("mon4vam\\mon4vam.ini", PageFixture::MonitorIni(unit43));
        Page->LoadSettings();
    }
    std::vector<bool> TaskBoxes() const {
        std::vector<bool> v;
        for (QCheckBox* b : {Page->MonitorCheckBox, Page->QuittierungsCheckBox, Page->FZ_CheckBox,
                             Page->BS_CheckBox, Page->fehler_checkbox, Page->StartMonitor})
            v.push_back(b->isChecked());
        return v;
    }
    std::vector<bool> SheetBoxes() const {
        std::vector<bool> v;
        for (QCheckBox* b : {Page->Check_monitor, Page->Check_funktionen, Page->Check_fehler, Page->Check_test,
                             Page->Check_eeprom, Page->Check_telefon})
            v.push_back(b->isChecked());
        return v;
    }

private slots:
    void init() {
        F = new PageFixture;
        Page = new TForm3;
    }
    void cleanup() {
        delete Page;
        delete F;
    }

    void taskBits_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<std::vector<bool>>("boxes");
        using V = std::vector<bool>;
        QTest::newRow("63 all") << QString("63") << V{1, 1, 1, 1, 1, 1};
        QTest::newRow("0 none") << QString("0") << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("missing") << QString() << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("not a number") << QString("abc") << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("5 = 1+4") << QString("5") << V{1, 0, 1, 0, 0, 0};
        QTest::newRow("hex 0x30") << QString("0x30") << V{0, 0, 0, 0, 1, 1};
        QTest::newRow("only bits above 32") << QString("192") << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("-1 all bits") << QString("-1") << V{1, 1, 1, 1, 1, 1};
    }
    void taskBits() {
        QFETCH(QString, value);
        QFETCH(std::vector<bool>, boxes);
        // Boxes checked by a previous load must be cleared by this one.
        Page->MonitorCheckBox->setChecked(true);
        Page->StartMonitor->setChecked(true);
        Load(value.isNull() ? "[unit43]\r\n" : "[unit43]\r\ntask=" + value.toStdString() + "\r\n");
        QCOMPARE(TaskBoxes(), boxes);
    }

    void tabsheetBits_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<std::vector<bool>>("boxes");
        using V = std::vector<bool>;
        QTest::newRow("4 has no box") << QString("4") << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("64 has no box") << QString("64") << V{0, 0, 0, 0, 0, 0};
        QTest::newRow("255 all") << QString("255") << V{1, 1, 1, 1, 1, 1};
        QTest::newRow("129 = 1+128") << QString("129") << V{1, 0, 0, 0, 0, 1};
        QTest::newRow("26 = 2+8+16") << QString("26") << V{0, 1, 1, 1, 0, 0};
    }
    void tabsheetBits() {
        QFETCH(QString, value);
        QFETCH(std::vector<bool>, boxes);
        Page->Check_test->setChecked(true);
        Load("[UNIT43]\r\nTabSheets=" + value.toStdString() + "\r\n");
        QCOMPARE(SheetBoxes(), boxes);
    }

    void spinEditsShowAnyIntegerUnchanged() {
        Load("[unit43]\r\ntickufz=-5\r\ntickubs=100000\r\ntickuquitt=2147483647\r\ntickumonblk=-2147483648\r\n"
             "tickuerror=99999999999\r\nkabinentimer=0x10\r\n"); // too big for an integer: the default
        QCOMPARE(Page->tickufz->value(), -5);
        QCOMPARE(Page->tickubs->value(), 100000);
        QCOMPARE(Page->tickuquitt->value(), 2147483647);
        QCOMPARE(Page->tickumonblk->value(), -2147483647 - 1);
        QCOMPARE(Page->tickuerror->value(), 0);
        QCOMPARE(Page->KabinenTimer->value(), 16);
    }

    void onlySendenSetClearsEverythingElse() {
        Load("[unit43]\r\ntask=63\r\ntabsheets=255\r\ntickufz=7\r\nkabinentimer=3\r\n");
        Load("[Unit43]\r\nsenden=1\r\n");
        QVERIFY(Page->SysModSenden->isChecked());
        QCOMPARE(TaskBoxes(), std::vector<bool>(6, false));
        QCOMPARE(SheetBoxes(), std::vector<bool>(6, false));
        QCOMPARE(Page->tickufz->value(), 0);
        QCOMPARE(Page->KabinenTimer->value(), 0);
        QVERIFY(!Page->MonitorButton->isVisible());
        QCOMPARE(Page->reset_timeout->text(), QStringLiteral("reset_timeout"));
    }

    void sichernChangesNothingAndShowingReloads() {
        Load("[unit43]\r\ntask=1\r\n");
        const std::string before = ToolIni().GetText();
        Page->StartMonitor->setChecked(true);
        Page->tickufz->setValue(42);
        Page->BitBtn1->click();
        QCOMPARE(ToolIni().GetText(), before);
        // The page's own show loads again and drops the edits.
        Page->show();
        QVERIFY(!Page->StartMonitor->isChecked());
        QCOMPARE(Page->tickufz->value(), 0);
    }
};

QTEST_MAIN(MonitorTaskPageTest)
#include "MonitorTaskPageTest.moc"

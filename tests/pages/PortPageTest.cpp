// The port page: methode flags and COM port in and out of the tool INI store, its radio groups, and the
// port test console placed into the page.

#include "PageFixture.h"

#include "config/IniStore.h"
#include "link/port.h"
#include "pages/Dialogs.h"
#include "pages/Unit8.h"
#include "platform/ComMap.h"
#include "serial/widgets/SerialDeviceSelect.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTest>

#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

#ifdef _WIN32
constexpr bool kSysfsDevices = false; // the system's COM names instead
#else
constexpr bool kSysfsDevices = true;
#endif

class PortPageTest : public QObject {
    Q_OBJECT
    PageFixture* F = nullptr;
    TForm8* Page = nullptr;
    const std::string Rel = "mon4vam\\mon4vam.ini";

    void Load(const std::string& sections) {
        F->Reopen(Rel, PageFixture::MonitorIni(sections));
        Page->LoadSettings();
    }
    // "L", "M", "F" for the checked mode buttons, in this order.
    QString Modes() const {
        QString s;
        if (Page->LokalButton->isChecked()) s += 'L';
        if (Page->ModemButton->isChecked()) s += 'M';
        if (Page->FileButton->isChecked()) s += 'F';
        return s;
    }
    // The numbers of the checked COM buttons.
    QString Coms() const {
        QString s;
        const QRadioButton* coms[] = {Page->Com1Button, Page->Com2Button, Page->Com3Button, Page->Com4Button};
        for (int i = 0; i < 4; ++i)
            if (coms[i]->isChecked()) s += QString::number(i + 1);
        return s;
    }
    static std::string Line(const QString& key, const QString& value) {
        return value.isNull() ? "" : (key + "=" + value + "\r\n").toStdString();
    }

private slots:
    void init() {
        F = new PageFixture;
        Page = new TForm8;
    }
    void cleanup() {
        delete Page;
        delete F;
    }

    void createdState() {
        QCOMPARE(Modes(), QString("L"));
        QCOMPARE(Coms(), QString("1"));
        QVERIFY(!Page->FileButton->isEnabled());
        QVERIFY(Page->Filepanel->isHidden());
        QCOMPARE(Page->OKButton->text(), QString("Sichern"));
        QCOMPARE(Page->PortTestButton->text(), QString("PortTest"));
    }

    // Loading: the last mode whose flag is '1' stays checked, whatever was checked before; no flag, none.
    void loadModes_data() {
        QTest::addColumn<QString>("methode"); // null: key missing
        QTest::addColumn<QString>("modes");
        QTest::newRow("missing") << QString() << "L";
        QTest::newRow("10000") << "10000"
                               << "L";
        QTest::newRow("11000 modem wins") << "11000"
                                          << "M";
        QTest::newRow("11100 file wins") << "11100"
                                         << "F";
        QTest::newRow("00100 file only") << "00100"
                                         << "F";
        QTest::newRow("00000 none") << "00000"
                                    << "";
        QTest::newRow("empty none") << ""
                                    << "";
        QTest::newRow("short 1") << "1"
                                 << "L";
        QTest::newRow("short 01") << "01"
                                  << "M";
        QTest::newRow("not a flag") << "x1"
                                    << "M";
    }
    void loadModes() {
        QFETCH(QString, methode);
        QFETCH(QString, modes);
        Page->ModemButton->setChecked(true); // a previous load's state must not survive
        Load("[start]\r\n" + Line("methode", methode));
        QCOMPARE(Modes(), modes);
    }

    void loadPortAndFile_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("before");
        QTest::addColumn<QString>("coms");
        QTest::newRow("missing is COM2") << QString() << 4 << "2";
        QTest::newRow("3") << "3" << 1 << "3";
        QTest::newRow("7 keeps COM4") << "7" << 4 << "4";
        QTest::newRow("0 keeps COM1") << "0" << 1 << "1";
        QTest::newRow("-2 keeps COM3") << "-2" << 3 << "3";
    }
    void loadPortAndFile() {
        QFETCH(QString, port);
        QFETCH(int, before);
        QFETCH(QString, coms);
        QRadioButton* buttons[] = {Page->Com1Button, Page->Com2Button, Page->Com3Button, Page->Com4Button};
        buttons[before - 1]->setChecked(true);
        Load("[ComPort]\r\n" + Line("port", port) + "[Unit43]\r\nfile=V:\\daten\\\xE4x.zws\r\n"); // cp1252
        QCOMPARE(Coms(), coms);
        QCOMPARE(Page->FileString->text(), QString::fromUtf8("V:\\daten\\\u00E4x.zws"));
    }

    // Saving writes positions 1 and 2 for "Lokal" or "Modem" into what is stored now and keeps the rest.
    void saveModes_data() {
        QTest::addColumn<QString>("stored");  // null: key missing
        QTest::addColumn<QString>("check");   // mode checked before saving: L, M, F or none
        QTest::addColumn<QString>("written"); // null: no key afterwards
        QTest::newRow("modem keeps 3 to 5") << "10110"
                                            << "M"
                                            << "01110";
        QTest::newRow("lokal keeps 3 to 5") << "01011"
                                            << "L"
                                            << "10011";
        QTest::newRow("missing, lokal") << QString() << "L"
                                        << "10000";
        QTest::newRow("missing, modem") << QString() << "M"
                                        << "01000";
        QTest::newRow("longer value kept") << "0000011"
                                           << "M"
                                           << "0100011";
        QTest::newRow("short value filled up") << "1"
                                               << "M"
                                               << "01";
        QTest::newRow("empty value filled up") << ""
                                               << "L"
                                               << "10";
        QTest::newRow("file only writes nothing") << "00100"
                                                  << "F"
                                                  << "00100";
        QTest::newRow("none writes nothing") << "00000"
                                             << ""
                                             << "00000";
        QTest::newRow("none, missing stays missing") << QString() << "" << QString();
    }
    void saveModes() {
        QFETCH(QString, stored);
        QFETCH(QString, check);
        QFETCH(QString, written);
        Load("[start]\r\n" + Line("methode", stored));
        Page->LokalButton->setChecked(check == "L");
        Page->ModemButton->setChecked(check == "M");
        Page->FileButton->setChecked(check == "F");
        QCOMPARE(Modes(), check);
        Page->OKButton->click();
        const TIniStore& ini = ToolIni();
        QCOMPARE(ini.ValueExists("START", "methode"), !written.isNull());
        QCOMPARE(QString::fromStdString(ini.ReadString("start", "methode", "?")),
                 written.isNull() ? QString("?") : written);
    }

    // "Sichern" writes the checked port even when it is the stored one; memory only until the write-back,
    // which keeps one [start] section.
    void saveWritesPortAndStaysInMemory() {
        Load("[start]\r\nmethode=10000\r\n[ComPort]\r\nport=03\r\n");
        const std::string onDisk = F->Read(Rel);
        QCOMPARE(Coms(), QString("3"));
        Page->ModemButton->setChecked(true);
        Page->OKButton->click();
        QCOMPARE(F->Read(Rel), onDisk);
        QCOMPARE(ToolIni().ReadString("comport", "port", ""), std::string("3"));

        ReleaseToolIni();
        const std::string after = F->Read(Rel);
        QVERIFY(after.find("[start]\r\nmethode=01000\r\n") != std::string::npos);
        QVERIFY(after.find("[Start]") == std::string::npos);
        QVERIFY(after.find("port=3\r\n") != std::string::npos);

        // An out-of-range port leaves the buttons, and the next save writes the checked one.
        F->Open(Rel);
        Page->Com4Button->setChecked(true);
        ToolIni().WriteString("ComPort", "port", "9");
        Page->LoadSettings();
        Page->SaveSettings();
        QCOMPARE(ToolIni().ReadInteger("ComPort", "port", 0), 4);
    }

    // The groups exclude within themselves only; a click on a checked button keeps it checked.
    void radioGroups() {
        Page->Com3Button->click();
        QCOMPARE(Coms(), QString("3"));
        QCOMPARE(Modes(), QString("L"));
        Page->Com3Button->click();
        QCOMPARE(Coms(), QString("3"));
        Page->ModemButton->click();
        QCOMPARE(Modes(), QString("M"));
        QCOMPARE(Coms(), QString("3"));
        Page->ModemButton->setChecked(false);
        QCOMPARE(Modes(), QString(""));
        QCOMPARE(Coms(), QString("3"));
    }

    // Without an open tool INI file the page shows the defaults and saving touches no file.
    void noOpenFile() {
        ReleaseToolIni();
        Page->ModemButton->setChecked(true);
        Page->LoadSettings();
        QCOMPARE(Modes(), QString("L"));
        QCOMPARE(Coms(), QString("2"));
        Page->SaveSettings();
        QVERIFY(!ConfigOpen());
    }

    void portTestPlacesTheConsole() {
        Page->PortTestButtonClick(); // no console yet: nothing happens
        auto* console = new TMyComPort;
        MyComPort = console;
        Page->show();
        Page->PortTestButton->click();
        QCOMPARE(console->parentWidget(), static_cast<QWidget*>(Page->Panel10));
        QVERIFY(console->isVisible());
        Page->PortTestButton->click();
        QCOMPARE(Page->Panel10->layout()->count(), 1);
        // It fills the panel.
        Page->resize(900, 600);
        QTRY_VERIFY(console->width() > Page->Panel10->width() - 10);
        QTRY_VERIFY(console->height() > Page->Panel10->height() - 10);
        delete console;
        QCOMPARE(MyComPort, nullptr);
    }

    // A 1366 x 768 screen at 150 % leaves the program 910 x 512 pixels, a 1024 x 768 screen at 100 % all of
    // them; the main window's frame, menu, header, tabs and status bar take about 150 of the height. In a
    // page of what is left, every control of the console is on the screen, scrolled into view where needed.
    void everyConsoleControlCanBeReachedOnSmallScreens() {
        auto* console = new TMyComPort;
        MyComPort = console;
        Page->show();
        Page->PortTestButton->click();
        for (const QSize screen : {QSize(910, 512), QSize(1024, 768)}) {
            const QRect room(QPoint(0, 0), screen - QSize(10, 150));
            Page->resize(room.size());
            QTRY_COMPARE(Page->size(), room.size());
            QApplication::processEvents(); // the layouts of the new size
            QList<QWidget*> controls;
            for (auto* b : console->findChildren<QAbstractButton*>())
                if (b->isVisibleTo(console)) controls << b;
            for (auto* e : console->findChildren<QLineEdit*>())
                if (e->isVisibleTo(console)) controls << e;
            QVERIFY(controls.size() > 30);
            for (QWidget* w : controls) {
                QRect seen(QPoint(0, 0), room.size());
                for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
                    if (auto* area = qobject_cast<QScrollArea*>(p)) {
                        // As a user scrolls to it (Qt's own ensureWidgetVisible minds only a field's cursor).
                        const QRect r(w->mapTo(area->widget(), QPoint(0, 0)), w->size());
                        area->ensureVisible(r.center().x(), r.center().y(), r.width() / 2 + 1,
                                            r.height() / 2 + 1);
                        QApplication::processEvents();
                        const QWidget* view = area->viewport();
                        seen &= QRect(view->mapTo(Page, QPoint(0, 0)), view->size());
                    }
                // Whole, or (a field as wide as the console) far enough in view to be used.
                const QRect at(w->mapTo(Page, QPoint(0, 0)), w->size());
                const QRect shown = seen & at;
                QVERIFY2(shown.height() == at.height() && shown.width() >= std::min(at.width(), 60),
                         qPrintable(QStringLiteral("%1 at %2,%3 %4x%5, screen %6x%7")
                                        .arg(w->objectName())
                                        .arg(at.x())
                                        .arg(at.y())
                                        .arg(at.width())
                                        .arg(at.height())
                                        .arg(screen.width())
                                        .arg(screen.height()) +
                                    QStringLiteral(" seen %1,%2 %3x%4")
                                        .arg(seen.x())
                                        .arg(seen.y())
                                        .arg(seen.width())
                                        .arg(seen.height())));
            }
        }
        delete console;
    }

    // A machine below the page's device root with one USB adapter that udev gave a stable name: the fake
    // sysfs tree the Linux list reads. Returns the device shown and the name it is mapped by.
    std::pair<QString, std::string> FakeSysfsMachine() {
        namespace fs = std::filesystem;
        const fs::path root = fs::path(F->Dir.path().toStdString()) / "machine";
        fs::create_directories(root / "sys/devices/usb1/1-1/1-1:1.0/ttyUSB0");
        fs::create_directories(root / "sys/class/tty/ttyUSB0");
        fs::create_symlink("../../../devices/usb1/1-1/1-1:1.0/ttyUSB0",
                           root / "sys/class/tty/ttyUSB0/device");
        fs::create_directories(root / "dev/serial/by-id");
        std::ofstream(root / "dev/ttyUSB0").put('\n');
        fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-Prolific-if00-port0");
        TForm8::DeviceRoot = root.string();
        return {QStringLiteral("/dev/ttyUSB0"), "/dev/serial/by-id/usb-Prolific-if00-port0"};
    }

    // "Geräte …" lists the machine's devices and maps the COM number chosen to the stable name of the one
    // chosen: for this run at once, and in [devices] of the program's own INI file, other keys kept; while
    // that file is the open configuration the mapping goes into the open store, so its write-back keeps it.
    // Windows lists its own COM names, which have no other name (the test's wine prefix has COM40).
    void mapsADeviceToAComNumber() {
        const auto [device, target] = kSysfsDevices
                                          ? FakeSysfsMachine()
                                          : std::pair<QString, std::string>{QStringLiteral("COM40"), "COM40"};
        int offered = 0;
        const auto run = TForm8::RunDeviceForm;
        TForm8::RunDeviceForm = [&, device = device](QDialog& d) {
            auto& form = static_cast<sx::TSerialDeviceForm&>(d);
            offered = form.ComNumber();
            const QList<QTreeWidgetItem*> found = form.DeviceList->findItems(device, Qt::MatchExactly, 0);
            if (!found.isEmpty()) form.DeviceList->setCurrentItem(found.front());
            form.ComSpin->setValue(3);
            return !found.isEmpty();
        };
        Load("[ComPort]\r\nport=2\r\n");
        dlg::SetNextAnswer(dlg::mrOK);
        Page->DevicesButtonClick(); // this run has no program INI: kept for the run only, and said so
        TForm8::RunDeviceForm = run;
        TForm8::DeviceRoot.clear();
        QCOMPARE(offered, 2);
        QCOMPARE(plat::ComDevice(3), target);
        QVERIFY(dlg::History().back().text.find("nur bis zum Ende") != std::string::npos);

        F->Write("ini4zav.ini", "[files]\r\nbase=V:\r\n\r\n[devices]\r\nCOM1=simmodem\r\n");
        QVERIFY(TForm8::MapComDevice(PageFixture::Path("ini4zav.ini"), 3, "/dev/serial/by-id/a"));
        QVERIFY(F->Read("ini4zav.ini").find("COM1=simmodem\r\nCOM3=/dev/serial/by-id/a") !=
                std::string::npos);
        F->Open("ini4zav.ini");
        ToolIni().WriteString("machine", "type", "QIR"); // an edit of the open store, not yet on disk
        QVERIFY(TForm8::MapComDevice(PageFixture::Path("ini4zav.ini"), 2, "/dev/ttyACM0"));
        ReleaseToolIni();
        QVERIFY(F->Read("ini4zav.ini").find("COM2=/dev/ttyACM0") != std::string::npos);
        QVERIFY(F->Read("ini4zav.ini").find("COM3=/dev/serial/by-id/a") != std::string::npos);
        QVERIFY(F->Read("ini4zav.ini").find("type=QIR") != std::string::npos);
        plat::ClearComDevices();
    }
};

QTEST_MAIN(PortPageTest)
#include "PortPageTest.moc"

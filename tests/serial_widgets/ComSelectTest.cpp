// The port selection dialog lists the ports that open or are in use, and a port opened without a
// number asks through it.

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/port/SxComPort.h"
#include "serial/widgets/ComSelect.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

using namespace sx;

namespace {

// A pseudo-terminal whose slave side the port layer can open by path.
struct Pty {
    int Master = -1;
    std::string SlavePath;
    Pty()
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0) SlavePath = ptsname(Master);
    }
    ~Pty()
    {
        if (Master >= 0) close(Master);
    }
};

} // namespace

class ComSelectTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        plat::ClearComDevices();
        // Nothing in the test may depend on the machine's own serial ports.
        for (int n = 1; n <= 50; ++n) plat::SetComDevice(n, "/nonexistent/tty" + std::to_string(n));
    }
    void cleanup() { plat::ClearComDevices(); }

    void listsPortsThatOpenOrAreBusy()
    {
        QList<int> probed;
        TComSelectForm form(nullptr, [&](int n) {
            probed << n;
            return n == 2 ? 0 : n == 5 ? ecAlreadyOpen : n == 7 ? ecBadId : n == 9 ? ecNoPermission : -19;
        });
        QCOMPARE(form.windowTitle(), QStringLiteral("Select Port"));
        QCOMPARE(form.Label1->text(), QStringLiteral("The configured serial port is not valid."));
        QCOMPARE(form.Label2->text(), QStringLiteral("Please choose another port."));
        QCOMPARE(form.OKBtn->text(), QStringLiteral("OK"));
        QCOMPARE(form.CancelBtn->text(), QStringLiteral("Cancel"));
        QCOMPARE(probed.size(), 50);
        QCOMPARE(probed.first(), 1);
        QCOMPARE(probed.last(), 50);
        QCOMPARE(form.PortsCombo->count(), 3);
        QCOMPARE(form.PortsCombo->itemText(0), QStringLiteral("COM2"));
        QCOMPARE(form.PortsCombo->itemText(1), QStringLiteral("COM5"));
        // A port the user may not open is there: choosing it explains the missing permission.
        QCOMPARE(form.PortsCombo->itemText(2), QStringLiteral("COM9"));
        QCOMPARE(form.SelectedComNumber(), 2);
        form.PortsCombo->setCurrentIndex(1);
        QCOMPARE(form.SelectedComNumber(), 5);
    }

    void emptyListSelectsNothing()
    {
        TComSelectForm form(nullptr, [](int) { return ecBadId; });
        QCOMPARE(form.PortsCombo->count(), 0);
        QCOMPARE(form.SelectedComNumber(), 0);
    }

    void probesRealDevices()
    {
        // COM4: a free pseudo-terminal; COM12: one held open by a port (busy); the rest absent.
        Pty free, held;
        QVERIFY(!free.SlavePath.empty() && !held.SlavePath.empty());
        plat::SetComDevice(4, free.SlavePath);
        plat::SetComDevice(12, held.SlavePath);
        plat::QueueHandoff gui;
        TSxComPort holder(&gui);
        holder.SetComNumber(12);
        holder.SetOpen(true);

        TComSelectForm form;
        QCOMPARE(form.PortsCombo->count(), 2);
        QCOMPARE(form.PortsCombo->itemText(0), QStringLiteral("COM4"));
        QCOMPARE(form.PortsCombo->itemText(1), QStringLiteral("COM12"));
        QVERIFY(holder.Open()); // probing did not disturb the holder
        // The probe closed COM4 again: a port can take it now.
        TSxComPort port(&gui);
        port.SetComNumber(4);
        port.SetOpen(true);
        QVERIFY(port.Open());
    }

    void portWithoutNumberAsksThroughTheDialog()
    {
        Pty pty;
        QVERIFY(!pty.SlavePath.empty());
        plat::SetComDevice(3, pty.SlavePath);
        SxInstallPortPrompt();
        plat::QueueHandoff gui;

        TSxComPort port(&gui);
        SxSetNextPortAnswer(0); // Cancel
        QVERIFY_THROWS_EXCEPTION(ENoPortSelected, port.SetOpen(true));
        QVERIFY(!port.Open());
        QCOMPARE(port.ComNumber(), uint16_t(0));

        SxSetNextPortAnswer(3);
        port.SetOpen(true);
        QVERIFY(port.Open());
        QCOMPARE(port.ComNumber(), uint16_t(3));
        TSxCustomComPort::SetPortPrompt({});
    }
};

QTEST_MAIN(ComSelectTest)
#include "ComSelectTest.moc"

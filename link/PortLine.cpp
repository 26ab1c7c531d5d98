// The console's port: COM1 or COM2 opened at 19200 8N1 with DTR on, closed by the user, lost with its
// device, or shut down at program end; and why an open failed. The buttons and the program end call it.

#include "link/port.h"

#include "link/PortPrivate.h"
#include "platform/ComMap.h"
#include "platform/qt/QtText.h"
#include "serial/device/SxDevices.h"

#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include <cerrno>
#include <stdexcept>

namespace {

// How long an open waits for the port's threads to finish an earlier close.
constexpr int CloseWaitMs = 3000;

} // namespace

// ---- Port ---------------------------------------------------------------------------------------

bool TMyComPort::OpenPort(int n) {
    if (!reconnecting_) LogSent("myport: open"); // a retry says nothing until it succeeds
    if (SxComPort1.Open()) {
        Model.PortClosing();
        CloseDevice();
    }
    AwaitClosed();
    try {
        OpenedComNumber = n;
        SxComPort1.SetParity(sx::pNone);
        SxComPort1.SetDataBits(8);
        SxComPort1.SetStopBits(1);
        SxComPort1.SetComNumber(static_cast<uint16_t>(n));
        SxComPort1.SetBaud(19200);
        SxComPort1.SetOpen(true);
        if (!SxComPort1.Open()) {
            // Still closing: the open would only happen later, unseen; it is called off.
            SxComPort1.SetOpen(false);
            throw std::runtime_error("der Port wird noch geschlossen, bitte noch einmal versuchen");
        }
        SxComPort1.SetDTR(true);
        LogSent("myport: open");
        Closing = false;
        SxSLController1.SetWatching(true);
        Model.PortOpened(n);
        PortDescription = "COM" + std::to_string(n) + "/19200/8N1";
        return true;
    } catch (const std::exception& e) {
        ReportOpenFailure(n, &e);
    } catch (...) {
        ReportOpenFailure(n, nullptr);
    }
    return false;
}

void TMyComPort::ReportOpenFailure(int n, const std::exception* e) {
    if (reconnecting_) return; // still waiting for the device: said once, when it went
    // The port is closed, whatever it showed before.
    Model.PortOpenFailed(OpenFailureText(n, plat::ComDevice(n), e));
}

void TMyComPort::CloseDevice() {
    if (!SxComPort1.Open()) return;
    closingPort_ = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{closingPort_};
    SxComPort1.SetOpen(false);
}

void TMyComPort::AwaitClosed() {
    // The port's threads finish a close after it has returned; bounded, with the GUI alive.
    QElapsedTimer clock;
    clock.start();
    while (SxComPort1.PortPhase() == sx::phClosing && clock.elapsed() < CloseWaitMs)
        Wait(10);
}

void TMyComPort::PortLost() {
    const std::string device = plat::ComDevice(OpenedComNumber);
    const std::string text = "COM" + std::to_string(OpenedComNumber) +
                             (device.empty() ? std::string() : " (" + device + ")") +
                             ": Ger\xE4t nicht mehr erreichbar, Port geschlossen";
    CanCloseConsole = true;
    Model.PortLost(text);
    StartReconnect();
}

bool TMyComPort::ClosePort() {
    ReportIfFlag3("myport: closing");
    StopReconnect();
    Model.PortClosing();
    Closing = true;
    CloseDevice();
    Model.PortClosed();
    ReportIfFlag3("myport: closed");
    StopCapture();
    CanCloseConsole = true;
    return true;
}

void TMyComPort::ClosePortFor(const std::string& why) {
    if (!SxComPort1.Open()) return;
    ClosePort();
    ShowFailure(why);
}

void TMyComPort::ShutDown(int) {
    // A call leaves data mode first, so the modem's answer to the hang-up is read as lines.
    Model.ShutDown();
    Closing = true;
    ReportIfFlag3("port> halt");
    if (ModemUsed) {
        ReportIfFlag3("port> modem.hangup");
        // The program ends whatever the modem says: a hang-up that fails must not keep the port open.
        try {
            HangUpModem();
        } catch (const std::exception& e) {
            ReportIfFlag3(std::string("port> ") + e.what());
        }
    }
    OnOkLine = nullptr;
    OnModemTestDone = nullptr;
    ReportIfFlag3("comport.close");
    if (SxComPort1.Open()) ClosePort();
    modemTestTimer_->SetEnabled(false);
    StopCapture();
    ReportIfFlag3("comport.closed");
    ConsoleAlive = false;
}

// ---- Why a port did not open --------------------------------------------------------------------

std::string OpenFailureText(int n, const std::string& device, const std::exception* e) {
    int code = 0;
    if (const auto* sxe = dynamic_cast<const sx::ESxException*>(e))
        code = sxe->ResultCode;
    else if (const auto* io = dynamic_cast<const sx::EInOutError*>(e))
        code = -io->ErrorCode;
    const std::string com = "COM" + std::to_string(n);
    const std::string where = device.empty() ? std::string() : " (" + device + ")";
    if (code == sx::ecBadId && sx::SxIsNetDevice(device)) {
        // The server is not there, refused, or its name is unknown: the exception names which.
        // The layer's own table texts are English and say no more than the code: only a reason of the
        // connection's own (the system's word for a refused or unknown server) is shown.
        const bool ownReason = e && *e->what() && std::string(e->what()).rfind("ie_", 0) != 0;
        const std::string why = ownReason ? std::string(" (") + e->what() + ")" : std::string();
        return com + where + ": keine Verbindung zum Server" + why +
               "; Adresse und Port pr\xFC" "fen und ob der Server l\xE4uft";
    }
    switch (code) {
    case sx::ecBadId:
    case sx::ecFileNotFound:
    case sx::ecPathNotFound:
        return com + " nicht vorhanden: das Ger\xE4t" + where + " gibt es nicht";
    case sx::ecAlreadyOpen: {
        std::string text = com + where + " wird von einem anderen Programm benutzt";
        const std::string holder =
            plat::IsSimDevice(device) || plat::IsSimModemDevice(device) || plat::IsSimControllerDevice(device)
                ? std::string()
                : sx::SxPortHolder(device);
        if (!holder.empty()) text += ": " + holder;
        return text;
    }
    case sx::ecNoPermission:
    case -EACCES:
    case -EPERM:
        return "Keine Berechtigung f\xFCr " + com + where +
               ": den Benutzer in die Gruppe dialout aufnehmen (sudo usermod -aG dialout $USER) und neu "
               "anmelden";
    case sx::ecNoPortSelected:
        return com + ": kein Port gew\xE4hlt";
    default:
        break;
    }
    const std::string reason = e && *e->what() ? e->what() : "unbekannter Fehler";
    return com + where +
           " kann nicht ge\xF6"
           "ffnet werden: " +
           reason;
}

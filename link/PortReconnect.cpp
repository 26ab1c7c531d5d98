// The console's "automatisch wieder öffnen": when the device behind the open port goes away, the console
// waits for it and opens the same COM number again once it is back. It waits calmly: a device file's folder
// is watched for the device to reappear (hot-plug), and a timer tries every few seconds for what no folder
// shows (network ports, the simulated line). A CLOSE, COM1 or COM2 of the user's ends the waiting.

#include "link/port.h"

#include "platform/ComMap.h"
#include "platform/qt/QtTime.h"
#include "serial/device/SxDevices.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QGroupBox>

namespace {

// A device that is a file of this system: its presence can be seen before it is opened.
bool IsDeviceFile(const std::string& device) {
    return !device.empty() && device[0] == '/' && !sx::SxIsNetDevice(device);
}

} // namespace

void TMyComPort::BuildReconnect(plat::ITimerService& timers) {
    ReconnectBox = new QCheckBox(QStringLiteral("automatisch wieder \u00f6ffnen"));
    ReconnectBox->setObjectName(QStringLiteral("ReconnectBox"));
    ReconnectBox->setToolTip(QStringLiteral("Geht das Ger\u00e4t verloren (USB-Adapter gezogen, Server neu gestartet), "
                                            "\u00f6ffnet die Konsole den Port wieder, sobald es zur\u00fcck ist"));
    if (auto* grid = qobject_cast<QGridLayout*>(GroupBox1->layout())) grid->addWidget(ReconnectBox, 2, 0, 1, 3);
    reconnectTimer_ = timers.CreateTimer();
    reconnectTimer_->SetEnabled(false);
    reconnectTimer_->SetInterval(ReconnectIntervalMs);
    reconnectTimer_->SetOnTimer([this] { TryReconnect(); });
    deviceWatch_ = new QFileSystemWatcher(this);
    connect(deviceWatch_, &QFileSystemWatcher::directoryChanged, this, [this] { TryReconnect(); });
    connect(ReconnectBox, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) StopReconnect();
    });
}

void TMyComPort::StartReconnect() {
    if (!ReconnectBox->isChecked()) return;
    reconnectCom_ = OpenedComNumber;
    const std::string device = plat::ComDevice(reconnectCom_);
    if (IsDeviceFile(device)) {
        const QString folder = QFileInfo(QFile::decodeName(device.c_str())).absolutePath();
        if (QFileInfo(folder).isDir()) deviceWatch_->addPath(folder);
    }
    reconnectTimer_->SetEnabled(true);
    const std::string text = "COM" + std::to_string(reconnectCom_) +
                             ": warte auf das Ger\xE4t, es wird automatisch wieder ge\xF6"
                             "ffnet (CLOSE bricht ab)";
    LogMessage(text);
}

void TMyComPort::StopReconnect() {
    if (reconnectCom_ == 0) return;
    reconnectCom_ = 0;
    reconnectTimer_->SetEnabled(false);
    if (!deviceWatch_->directories().isEmpty()) deviceWatch_->removePaths(deviceWatch_->directories());
}

void TMyComPort::TryReconnect() {
    if (reconnectCom_ == 0 || reconnecting_ || SxComPort1.Open()) return;
    const int n = reconnectCom_;
    const std::string device = plat::ComDevice(n);
    if (IsDeviceFile(device) && !QFileInfo::exists(QFile::decodeName(device.c_str()))) return;
    reconnecting_ = true;
    const bool opened = OpenPort(n);
    reconnecting_ = false;
    if (!opened) return; // still not there (or still held): the next tick tries again
    StopReconnect();
    // Held like a failure, so that the modem's first lines do not hide it.
    Model.ShowFailure("COM" + std::to_string(n) + ": Ger\xE4t wieder da, Port wieder ge\xF6"
                      "ffnet");
}
